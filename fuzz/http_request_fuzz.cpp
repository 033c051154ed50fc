// Fuzz target: any bytes as an HTTP request must be framed, parsed and
// looked up without a crash, a leak or undefined behaviour, and nothing the
// lookup gives back may be longer than what came in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)http::CheckRequest(text);
    const std::size_t body = http::BodyOffset(text);
    if (body != std::string::npos && body > size) std::abort();
    const http::RequestHead head = http::ParseHead(text);
    (void)http::CrossSite(head);
    (void)http::HostAllowed(head.host, {"mailhost"});
    const http::Params params(http::ParamSource(text, head.multipart));
    for (const char* name : {"user", "u", "p", "dir", "AttachFile", "del1", "Spam0", "boundary"}) {
        if (params.Get(name).size() > size) std::abort();
        if (http::GetRequestParam(name, text).size() > size) std::abort();
        if (http::GetMultipartField(name, text, head.boundary).size() > size) std::abort();
    }
    if (http::DecodePercent(text).size() > size) std::abort();
    (void)http::IsUtf8Text(text);
    return 0;
}
