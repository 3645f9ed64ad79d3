/* SPDX-License-Identifier: Apache-2.0 */
/* Failure: where a request failed, why, and whether any of it had gone out. The step that fails
 * fills it (the HTTP client from the socket up, then the transport and the library's checks) and
 * it is handed up unchanged to the library's report. Filling it never allocates.
 */
#ifndef VEMRICK_FAILURE_H
#define VEMRICK_FAILURE_H

#include <cstdio>

struct Failure {
    /* Whether any byte of the request (not of a CONNECT or a TLS handshake) was written to a
     * connection: if so, the server may have acted on it. */
    bool requestSent = false;
    /* "" while nothing failed; else a static text: "URL", "resolve", "connect", "proxy", "TLS",
     * "send", "receive", and above the client "request", "reply" or "arguments". */
    const char *phase = "";
    /* Why, in words, cut to fit; never bytes of the request or the reply. */
    char cause[256] = {};
    /* Set by the transport when a response came whose status is not 2xx: who answered what
     * ("server answered HTTP 502 Bad Gateway instead of a reply", "proxy answered HTTP 407 Proxy
     * Authentication Required: it wants credentials"; status texts printable and cut short), and
     * the phase it belongs to: "proxy" for a proxy's 407 to an http request, "reply" otherwise.
     * A reply that then fails the checks is described by it instead of phase and cause. */
    const char *answerPhase = "";
    char answer[160] = {};

    /* Records where and why; returns code. */
    template <class Code> Code set(Code code, const char *where, const char *why)
    {
        phase = where;
        snprintf(cause, sizeof cause, "%s", why);
        return code;
    }
};

#endif
