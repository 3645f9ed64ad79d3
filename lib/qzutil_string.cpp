#include "qzutil.h"

/* Placeholders until the string and date helpers are built. */
const char *QZUtil::LOGFILE = "logfile.log";

void QZUtil::TrimStr(char *) {}
int QZUtil::CheckDateFormat(const char *) { return 0; }
void QZUtil::SendToLogFile(const char *, long, const char *) {}
