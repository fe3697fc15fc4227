// The local web server: language choice, entity search, page runs, error answers and
// the busy-socket queue.
#include "http/server/HTTPServer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "async/AsyncCall.h"
#include "async/AsyncThreadPool.h"
#include "cfb/StorageTypes.h"
#include "com/DiagnosticLog.h"
#include "com/Exception.h"
#include "com/HexDigit.h"
#include "com/Strings.h"
#include "http/AcceptLanguage.h"
#include "http/MimeSniffer.h"
#include "idl/Resources.h"
#include "objects/RequestObject.h"
#include "objects/ResponseObject.h"
#include "pages/MemoryStream.h"
#include "sessions/UserObject.h"
#include "storage/StorageManager.h"

namespace {

std::string Upper(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The LCID of the request's process session; the system default without a session.
HRESULT SessionLCID(const CHTTPRequest& request, LCID* plcid) {
    *plcid = 0x409;
    CComPtr<IUserObject> ptrUser;
    if (!request.Session())
        return S_OK;
    HRESULT hr = request.Session()->QueryInterface(IUserObject::iid,
                                                   reinterpret_cast<void**>(ptrUser.Receive()));
    if (!CheckResult(hr))
        return hr;
    LONG lcid = 0;
    hr = ptrUser->get_LCID(&lcid);
    if (!CheckResult(hr))
        return hr;
    *plcid = static_cast<LCID>(lcid);
    return S_OK;
}

}  // namespace

CHTTPServer::CHTTPServer() {
    m_loader = [](LCID lcid, std::u16string_view name, IHTTPEntity** ppEntity) {
        return STORAGE_MANAGER::instance()->LoadEntity(lcid, name, IHTTPEntity::iid,
                                                       reinterpret_cast<IUnknown**>(ppEntity));
    };
}

CHTTPServer::~CHTTPServer() {
    if (CHTTPRequestHandler::Instance() == this)
        CHTTPRequestHandler::SetInstance(nullptr);
    if (CHTTPSocketOwner::Instance() == this)
        CHTTPSocketOwner::SetInstance(nullptr);
}

void CHTTPServer::Install() {
    CHTTPRequestHandler::SetInstance(this);
    CHTTPSocketOwner::SetInstance(this);
}

// Requests and the busy-socket queue.

void CHTTPServer::ProcessRequest(const std::shared_ptr<CHTTPRequest>& request,
                                 const CSocketHandle& sock) {
    WhenSocketFree(sock, [this, request, sock] { Process(request, sock); });
}

void CHTTPServer::RespondError(const std::shared_ptr<CHTTPRequest>& request,
                               const CSocketHandle& sock, ULONG status) {
    WhenSocketFree(sock, [this, request, sock, status] { SendError(request, sock, status, {}); });
}

void CHTTPServer::RespondInternalError(const std::shared_ptr<CHTTPRequest>& request,
                                       const CSocketHandle& sock, HRESULT hr) {
    WhenSocketFree(sock, [this, request, sock, hr] { SendInternalError(request, sock, hr); });
}

void CHTTPServer::WhenSocketFree(const CSocketHandle& sock, Work work) {
    try {
        {
            std::lock_guard lock(m_lock);
            auto [it, inserted] = m_mapBusy.try_emplace(sock.socket());
            if (!inserted) {
                it->second.push_back(std::move(work));
                return;
            }
        }
        work();
    } catch (...) {
        ReportException("CHTTPServer::WhenSocketFree", CV_HERE);
    }
}

std::size_t CHTTPServer::BusySockets() const {
    std::lock_guard lock(m_lock);
    return m_mapBusy.size();
}

void CHTTPServer::ReleaseSocket(const CSocketHandle& sock) {
    try {
        Work next;
        {
            std::lock_guard lock(m_lock);
            auto it = m_mapBusy.find(sock.socket());
            if (CheckExpression(it == m_mapBusy.end()))
                return;
            if (it->second.empty()) {
                m_mapBusy.erase(it);
                return;
            }
            next = std::move(it->second.front());
            it->second.pop_front();
        }
        // The socket stays busy for the next request, which runs on a pool thread of its
        // own rather than inside the write completion that released the socket.
        auto call = CAsyncCall::CreateFunctionCall(std::move(next));
        if (CheckExpression(!call))
            return;
        HRESULT hr = THREAD_POOL::instance()->QueueCall(call, 0);
        if (!CheckResult(hr) && call)
            call->Invoke();
    } catch (...) {
        ReportException("CHTTPServer::ReleaseSocket", CV_HERE);
    }
}

void CHTTPServer::Process(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock) {
    try {
        auto method = request->GetMethod();
        switch (method) {
            case CHTTPRequest::Method::GET:
            case CHTTPRequest::Method::HEAD:
            case CHTTPRequest::Method::POST:
                ProcessGetHeadPost(request, sock, method);
                break;
            default:
                SendError(request, sock, 501, {});
                break;
        }
    } catch (...) {
        ReportException("CHTTPServer::Process", CV_HERE);
        ReleaseSocket(sock);
    }
}

void CHTTPServer::ProcessGetHeadPost(const std::shared_ptr<CHTTPRequest>& request,
                                     const CSocketHandle& sock, CHTTPRequest::Method method) {
    CComPtr<IHTTPEntity> ptrEntity;
    HRESULT hr = FindEntity(*request, ptrEntity.Receive());
    if (hr == STG_E_FILENOTFOUND)
        return SendError(request, sock, 404, {});
    if (!CheckResult(hr))
        return SendInternalError(request, sock, hr);

    CComPtr<CHTTPResponse> response = CHTTPResponse::Create(request->Session());
    if (CheckExpression(!response))
        return SendInternalError(request, sock, E_OUTOFMEMORY);
    response->SetHeadRequest(method == CHTTPRequest::Method::HEAD);

    CComPtr<IHTTPResponse> ptrResponse;
    const std::string* pBody = method == CHTTPRequest::Method::POST ? &request->GetBody() : nullptr;
    hr = PerformGet(ptrEntity.Get(), *request, pBody, response.Get(), ptrResponse.Receive());
    if (!CheckResult(hr))
        return SendInternalError(request, sock, hr);
    if (!CheckMimeType(*request, ptrResponse.Get()))
        return SendError(request, sock, 406, {});
    // The connection stays open for the next request. A response that cannot start
    // sending has released nothing: the error answer takes the socket over.
    if (!CheckResult(response->Send(sock, false)))
        SendError(request, sock, 500, {});
}

// Finding entities.

bool CHTTPServer::EntityNameFromPath(std::string_view path, std::u16string* pName) {
    if (path == "/") {
        pName->assign(1, u'/');  // (assigning the literal trips a false -Wrestrict in GCC 12)
        return true;
    }
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    std::string decoded;
    decoded.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        int high = 0, low = 0;
        if (path[i] == '%' && i + 2 < path.size() &&
            (high = HexDigitValue(static_cast<unsigned char>(path[i + 1]))) >= 0 &&
            (low = HexDigitValue(static_cast<unsigned char>(path[i + 2]))) >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    std::u16string name = Utf8ToUtf16(decoded);
    if (name.empty() && !decoded.empty())
        return false;
    *pName = std::move(name);
    return true;
}

HRESULT CHTTPServer::FindEntity(const CHTTPRequest& request, IHTTPEntity** ppEntity) {
    try {
        if (CheckExpression(!ppEntity))
            return E_POINTER;
        *ppEntity = nullptr;
        std::u16string name;
        if (!EntityNameFromPath(request.GetPath(), &name))
            return STG_E_FILENOTFOUND;
        return FindEntityLCID(request, name, ppEntity);
    } catch (...) {
        return ReportException("CHTTPServer::FindEntity", CV_HERE);
    }
}

HRESULT CHTTPServer::FindEntityLCID(const CHTTPRequest& request, std::u16string_view strEntity,
                                    IHTTPEntity** ppEntity) {
    try {
        if (CheckExpression(!ppEntity))
            return E_POINTER;
        *ppEntity = nullptr;
        LCID sessionLcid = 0;
        HRESULT hr = SessionLCID(request, &sessionLcid);
        if (!CheckResult(hr))
            return hr;
        std::string header;
        request.GetHeader("ACCEPT-LANGUAGE", &header);
        std::vector<LCID> lcids;
        hr = CAcceptLanguage::Choose(header, sessionLcid, &lcids);
        if (!CheckResult(hr))
            return hr;
        for (LCID lcid : lcids) {
            hr = m_loader(lcid, strEntity, ppEntity);
            if (hr != STG_E_FILENOTFOUND)
                return hr;
        }
        return STG_E_FILENOTFOUND;
    } catch (...) {
        return ReportException("CHTTPServer::FindEntityLCID", CV_HERE);
    }
}

// Running an entity.

HRESULT CHTTPServer::PerformGet(IHTTPEntity* pEntity, const CHTTPRequest& request,
                                const std::string* pBody, CHTTPResponse* response,
                                IHTTPResponse** ppResponse) {
    try {
        if (CheckExpression(!pEntity || !response || !ppResponse))
            return E_POINTER;
        *ppResponse = nullptr;

        HRESULT hr = S_OK;
        CComPtr<CResponseObject> ptrResponseObject = MakeObject<CResponseObject>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrResponseObject->Init(response, pEntity);
        if (!CheckResult(hr))
            return hr;

        CComPtr<CRequestObject> ptrRequestObject = MakeObject<CRequestObject>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = ptrRequestObject->Init(&request, pBody);
        if (!CheckResult(hr))
            return hr;

        CComPtr<IUserObject> ptrUser;
        if (request.Session()) {
            hr = request.Session()->QueryInterface(IUserObject::iid,
                                                   reinterpret_cast<void**>(ptrUser.Receive()));
            if (!CheckResult(hr))
                return hr;
        }
        hr = pEntity->Get(ptrRequestObject.Get(), ptrUser.Get(), ptrResponseObject.Get());
        if (!CheckResult(hr))
            return hr;
        hr = ptrResponseObject->Flush();
        if (!CheckResult(hr))
            return hr;

        std::string connection;
        if (request.GetMajorVersion() == 0 ||
            (request.GetMajorVersion() == 1 && request.GetMinorVersion() == 0)) {
            if (request.GetHeader("CONNECTION", &connection) && connection == "Keep-Alive")
                CheckResult(response->PutHeader("Connection", "Keep-Alive"));
        }
        *ppResponse = static_cast<IHTTPResponse*>(ptrResponseObject.Detach());
        return S_OK;
    } catch (...) {
        return ReportException("CHTTPServer::PerformGet", CV_HERE);
    }
}

bool CHTTPServer::CheckMimeType(const CHTTPRequest& request, IHTTPResponse* pResponse) {
    try {
        if (CheckExpression(!pResponse))
            return false;
        BSTR bstrType;
        if (!CheckResult(pResponse->get_ContentType(&bstrType)))
            return false;
        std::string type = Utf16ToUtf8(bstrType.View());
        std::size_t slash = type.find('/');
        if (type.empty() || slash == std::string::npos)
            return false;
        std::string major = Upper(type.substr(0, slash));
        std::string minor = Upper(type.substr(slash + 1));

        std::string accept;
        if (!request.GetHeader("ACCEPT", &accept))
            return true;
        std::string_view rest = accept;
        while (true) {
            std::size_t comma = rest.find(',');
            std::string_view element = Trim(rest.substr(0, comma));
            std::size_t semicolon = element.find(';');
            element = Trim(element.substr(0, semicolon));
            std::size_t elementSlash = element.find('/');
            if (elementSlash != std::string_view::npos) {
                std::string elementType = Upper(Trim(element.substr(0, elementSlash)));
                std::string elementSub = Upper(Trim(element.substr(elementSlash + 1)));
                if (elementType == "*" && elementSub == "*")
                    return true;
                if (elementType == major && (elementSub == "*" || elementSub == minor))
                    return true;
            }
            if (comma == std::string_view::npos)
                return false;
            rest.remove_prefix(comma + 1);
        }
    } catch (...) {
        ReportException("CHTTPServer::CheckMimeType", CV_HERE);
        return false;
    }
}

// Error answers.

std::string CHTTPServer::InternalErrorPage(HRESULT hr) {
    const auto status = static_cast<std::uint32_t>(hr);
    const unsigned long code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? status & 0xFFFF : status;
    std::string message = ErrorText(hr);
    char number[32];
    std::snprintf(number, sizeof number, "%#lx", code);
    std::string text = message.empty() ? "Error code " + std::string(number)
                                       : message + "  Error code " + std::string(number);
    std::string page(resources::LoadString(resources::IDS_SERVERERROR));
    std::size_t at = page.find("%s");
    if (at != std::string::npos)
        page.replace(at, 2, text);
    return page;
}

void CHTTPServer::SendInternalError(const std::shared_ptr<CHTTPRequest>& request,
                                    const CSocketHandle& sock, HRESULT hr) {
    SendError(request, sock, 500, InternalErrorPage(hr));
}

void CHTTPServer::SendError(const std::shared_ptr<CHTTPRequest>& request, const CSocketHandle& sock,
                            ULONG status, std::string_view text) {
    try {
        CComPtr<IUnknown> session = request ? request->Session() : CComPtr<IUnknown>();
        CComPtr<CHTTPResponse> response = CHTTPResponse::Create(session);
        if (CheckExpression(!response)) {
            CSocketHandle(sock).Shutdown(asio::socket_base::shutdown_both);
            return ReleaseSocket(sock);
        }
        if (request && request->GetMethod() == CHTTPRequest::Method::HEAD)
            response->SetHeadRequest(true);

        bool bAnswered = false;
        if (text.empty() && request) {
            for (const char* pattern : {"%lu_error.asp", "%lu_error.html"}) {
                char name[32];
                std::snprintf(name, sizeof name, pattern, static_cast<unsigned long>(status));
                CComPtr<IHTTPEntity> ptrEntity;
                if (FAILED(FindEntityLCID(*request, Utf8ToUtf16(name), ptrEntity.Receive())))
                    continue;
                CComPtr<CHTTPResponse> errorResponse = CHTTPResponse::Create(session);
                if (CheckExpression(!errorResponse))
                    break;
                errorResponse->SetHeadRequest(request->GetMethod() == CHTTPRequest::Method::HEAD);
                CComPtr<IHTTPResponse> ptrResponse;
                if (SUCCEEDED(PerformGet(ptrEntity.Get(), *request, nullptr, errorResponse.Get(),
                                         ptrResponse.Receive())) &&
                    CheckMimeType(*request, ptrResponse.Get())) {
                    response = errorResponse;
                    bAnswered = true;
                }
                break;
            }
        }
        if (!bAnswered) {
            response->SetStatus(status);
            if (!text.empty()) {
                HRESULT hr = S_OK;
                CComPtr<CMemoryStream> ptrStream =
                    MakeObject<CMemoryStream>(&hr, std::vector<BYTE>(text.begin(), text.end()));
                if (CheckResult(hr)) {
                    std::string type;
                    CMimeSniffer::FindMimeFromData(
                        text.data(), std::min(text.size(), CMimeSniffer::kSniffBytes), &type);
                    CheckResult(response->PutHeader("Content-Type", type));
                    CheckResult(response->SetEntityStream(ptrStream.Get()));
                }
                if (status == 500)
                    response->SetStatus(200);
            }
        }
        Send(response.Get(), sock, true);
    } catch (...) {
        ReportException("CHTTPServer::SendError", CV_HERE);
        ReleaseSocket(sock);
    }
}

HRESULT CHTTPServer::Send(CHTTPResponse* response, const CSocketHandle& sock, bool bClose) {
    HRESULT hr = response->Send(sock, bClose);
    if (!CheckResult(hr)) {
        // Nothing was started, so nothing will release the socket: close the connection,
        // whose client would otherwise wait for an answer for ever.
        CSocketHandle(sock).Shutdown(asio::socket_base::shutdown_both);
        ReleaseSocket(sock);
    }
    return hr;
}
