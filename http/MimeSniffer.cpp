// MIME types through libmagic. A libmagic cookie is not safe for concurrent use, so
// the process shares one, opened on first use, under a lock.
#include "http/MimeSniffer.h"

#include <magic.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "com/DiagnosticLog.h"

namespace {

constexpr const char* kFallback = "text/plain";

// Guards the cookie and every call with it; innermost, nothing else is taken under it.
std::mutex g_lock;
magic_t g_cookie = nullptr;
bool g_opened = false;

// The shared cookie, opened on first use; null when libmagic cannot load its database.
magic_t Cookie() {
    if (!g_opened) {
        g_opened = true;
        // Compressed data is judged as it stands: decompressing is not the sniffer's job.
        magic_t cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS);
        if (CheckExpression(!cookie))
            return nullptr;
        if (CheckExpression(magic_load(cookie, nullptr) != 0)) {
            magic_close(cookie);
            return nullptr;
        }
        g_cookie = cookie;
    }
    return g_cookie;
}

}  // namespace

HRESULT CMimeSniffer::FindMimeFromData(const void* data, std::size_t size, std::string* pMimeType) {
    if (CheckExpression(!pMimeType || (!data && size > 0)))
        return E_POINTER;
    try {
        pMimeType->assign(kFallback);
        if (size == 0)
            return S_FALSE;
        std::lock_guard guard(g_lock);
        magic_t cookie = Cookie();
        if (!cookie)
            return S_FALSE;
        const char* type = magic_buffer(cookie, data, std::min(size, kSniffBytes));
        // libmagic's own labels for "nothing to say" are not types a client knows.
        if (!type || !*type || std::string_view(type) == "application/x-empty")
            return S_FALSE;
        pMimeType->assign(type);
        return S_OK;
    } catch (...) {
        return ReportException("CMimeSniffer::FindMimeFromData", CV_HERE);
    }
}
