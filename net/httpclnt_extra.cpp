/* SPDX-License-Identifier: Apache-2.0 */
/* The part of CHttpClnt that no payment runs: the length setters of the byte buffers and the
 * growth behind them. GET, HEAD, their callbacks and the abort flag share the request code in
 * httpclnt.cpp; the constructors that take a URL or a host stay beside the one a payment uses. */
#include "httpclnt.h"

#include "wipe.h"

#include <cstring>

/* Makes b hold at least need bytes in [0, size), zeros after the bytes held so far. */
void CHttpClnt::coverLength(ByteBuffer &b, unsigned int need)
{
    if (need <= b.size)
        return;
    if (need > b.held) {
        std::unique_ptr<unsigned char[]> grown(new unsigned char[need]);
        memcpy(grown.get(), b.data.get(), b.size);
        b.adopt(std::move(grown), need);
    }
    memset(b.data.get() + b.size, 0, need - b.size);
    b.size = need;
}

void CHttpClnt::setLength(ByteBuffer &b, unsigned int n)
{
    if (b.data != nullptr)
        coverLength(b, n);
    b.len = n;
}

void CHttpClnt::SetRcvData(const unsigned char *data, unsigned int len)
{
    if (len != 0)
        setBytes(rcv_, data, len);
}

