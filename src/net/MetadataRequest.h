// One metadata request: set-up, send, copy. Every metadata fetch goes
// through here, so each keeps only what differs: its URL, its headers, its
// time-out and what it does with the answer.
#pragma once

#include <string>
#include <vector>

#include "EvDebug.h"

namespace vmdetect::metadata {

struct Header {
    std::string line;     // "Name: value"
    const char* failure;  // Error text logged when the client refuses it
};

struct Request {
    bool put = false;                     // PUT with `body`, else GET
    std::string url;
    std::string body;                     // a PUT's body ("" for none)
    const char* accept = "text/plain";    // sent as Accept; nullptr: none
    std::vector<Header> headers;          // wiped once sent: they may hold a token
    long timeoutMs = -1;                  // -1: the client's defaults; 0: no limit;
                                          // other negatives fail as a set-up step
    const char* replyHeader = nullptr;    // a reply header to keep, by name
};

struct Response {
    bool ready = false;   // false: a set-up step failed and was logged
    bool ok = false;      // a 2xx answer within the client's limits
    long status = 0;      // 0 when no status came
    std::string body;     // when ok: the text up to its first NUL
    std::string header;   // value of Request::replyHeader, when the reply had it
};

// Sends the request through a fresh client. Set-up failures (init, a header,
// the time-out) are logged as Error lines under `function`; a failed send
// is left to the caller, which knows whether it is final.
Response Send(const EvDebug& log, const char* function, Request& request);

// Overwrites a secret before its memory is given back, and empties it.
void Wipe(std::string& text);

}  // namespace vmdetect::metadata
