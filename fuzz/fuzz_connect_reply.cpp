/* SPDX-License-Identifier: Apache-2.0 */
// A proxy's answer to CONNECT, and the same bytes as the head of a response: any bytes, read from
// an exact-size copy so that an over-read is caught. The verdict must agree with the status line
// and be stable as more bytes arrive.
#include "http_format.h"

#include <cstdint>
#include <cstring>
#include <memory>

using namespace httpformat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2 * kMaxConnectReply)
        return 0;
    std::unique_ptr<unsigned char[]> exact(new unsigned char[size ? size : 1]);
    if (size)
        memcpy(exact.get(), data, size);
    ConnectReply reply;
    const int rc = ParseConnectReply(exact.get(), size, &reply);
    if (rc < CONNECT_INCOMPLETE || rc > CONNECT_TOO_LONG ||
        reply.statusLine.size() > kMaxStatusLine)
        __builtin_trap();
    for (char c : reply.statusLine) // safe to print on one line
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            __builtin_trap();
    if (rc == CONNECT_INCOMPLETE && size >= kMaxConnectReply)
        __builtin_trap(); // the answer is bounded
    if (rc == CONNECT_ESTABLISHED || rc == CONNECT_REFUSED) {
        if (reply.status < 0 || reply.status > 999 ||
            (rc == CONNECT_ESTABLISHED) != (reply.status >= 200 && reply.status <= 299) ||
            memcmp(reply.statusLine.data(), "HTTP/", reply.statusLine.size() < 5 ? 0 : 5) != 0)
            __builtin_trap();
    }
    if (rc == CONNECT_ESTABLISHED) {
        // The head ends with its blank line inside what was read, and reading just the head
        // gives the same verdict: the bytes after it belong to the tunnel.
        if (reply.headLen < 2 || reply.headLen > size || reply.headLen > kMaxConnectReply ||
            exact[reply.headLen - 1] != '\n')
            __builtin_trap();
        ConnectReply head;
        if (ParseConnectReply(exact.get(), reply.headLen, &head) != CONNECT_ESTABLISHED ||
            head.headLen != reply.headLen)
            __builtin_trap();
    }
    ResponseHead head;
    const int state = ParseResponseHead(exact.get(), size, kMaxConnectReply, &head);
    if (state < HEAD_INCOMPLETE || state > HEAD_TOO_LONG || head.reason.size() > kMaxReason ||
        head.bodyLength < -1 || (state == HEAD_COMPLETE && head.headLen > size) ||
        ((rc == CONNECT_ESTABLISHED || rc == CONNECT_REFUSED) && head.status != reply.status))
        __builtin_trap();
    for (char c : head.reason)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            __builtin_trap();
    return 0;
}
