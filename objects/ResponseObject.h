// CResponseObject: the script object Response, and through the private IHTTPResponse the
// object with which a page's entity configures the answer to a local page request.
//
// Everything a page writes is buffered in a memory stream, script text converted to the
// response's code page; the status text, content type, character set and locale are kept
// here, while "Cache-Control" and the headers a page adds go straight to the HTTP
// response. At the end the local web server calls `Flush`, which hands body, status and
// the remaining headers to the CHTTPResponse that sends the answer.
//
// `End` and `Redirect` stop the running page through the ASP entity, whose `End` halts
// the script instance: the engine stops the script at the return from the host call, so
// no statement after them runs. The local web server creates one object per request;
// it is used by the thread that runs the page.
#pragma once

#include <optional>

#include "cfb/StorageInterfaces.h"
#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "http/HTTPResponse.h"
#include "idl/ServiceInterfaces.h"
#include "objects/ObjectInterfaces2.h"

class CResponseObject
    : public CComObjectRoot<CResponseObject, IDispatchImpl<CResponseObject, IResponse>,
                            IHTTPResponse, ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable();

    // Binds the object to the HTTP response it fills and the entity that runs the page
    // (null for an answer that no entity writes): "Cache-Control: no-cache", status
    // "200 OK", no expiry, the absolute expiry now, and an empty body.
    HRESULT Init(CHTTPResponse* pResponse, IHTTPEntity* pEntity);
    // Hands body, status, "Content-Type" and "Content-Language" to the HTTP response.
    HRESULT Flush();

    // IResponse (the members IHTTPResponse shares are among them)
    HRESULT get_ContentType(BSTR* pbstrContentTypeRet) override;
    HRESULT put_ContentType(BSTR bstrContentType) override;
    HRESULT get_Expires(VARIANT* pvarExpiresMinutesRet) override;
    HRESULT put_Expires(LONG lExpiresMinutes) override;
    HRESULT get_ExpiresAbsolute(VARIANT* pvarExpiresRet) override;
    HRESULT put_ExpiresAbsolute(DATE dtExpires) override;
    HRESULT get_Status(BSTR* pbstrStatusRet) override;
    HRESULT put_Status(BSTR bstrStatus) override;
    HRESULT AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) override;
    HRESULT BinaryWrite(const VARIANT& varInput) override;
    HRESULT Clear() override;
    HRESULT End() override;
    HRESULT Redirect(BSTR bstrURL) override;
    HRESULT Write(const VARIANT& varText) override;
    HRESULT WriteBlock(ULONG ulBlockNumber) override;
    HRESULT get_CharSet(BSTR* pbstrCharSetRet) override;
    HRESULT put_CharSet(BSTR bstrCharSet) override;
    HRESULT get_CacheControl(BSTR* pbstrCacheControl) override;
    HRESULT put_CacheControl(BSTR bstrCacheControl) override;
    HRESULT Pics(BSTR bstrHeaderValue) override;
    HRESULT get_CodePage(LONG* plvar) override;
    HRESULT put_CodePage(LONG lvar) override;
    HRESULT get_LCID(LONG* plvar) override;
    HRESULT put_LCID(LONG lvar) override;

    // IHTTPResponse: the page's own bytes become the body (a file entity).
    HRESULT SetStream(IStream* pStream) override;

private:
    // Scripts pass the block number as a number of any width.
    HRESULT DispatchWriteBlock(LONGLONG llBlockNumber);
    // Header access on the HTTP response; E_UNEXPECTED before Init.
    HRESULT GetHeaderString(const char* pszName, BSTR* pbstrValue);
    HRESULT PutHeaderString(const char* pszName, const BSTR& bstrValue);
    // Appends bytes to the body.
    HRESULT AppendBody(const void* pv, std::size_t cb);
    // The ASP entity of the page, or null.
    CComPtr<IASPEntity> RunningEntity();

    // Guards every field below; a leaf lock, never held while calling the entity.
    CComAutoCriticalSection m_lock;
    CComPtr<CHTTPResponse> m_pResponse;
    CComPtr<IStream> m_ptrStream;
    CComPtr<IHTTPEntity> m_ptrEntity;
    CComPtr<IASPEntity> m_ptrASPEntity;  // null for entities that run no ASP page
    BSTR m_strStatus = BSTR(u"200 OK");
    BSTR m_strContentType = BSTR::Empty();
    BSTR m_strCharSet = BSTR::Empty();
    LONG m_lExpires = 0;
    DATE m_dtExpiresAbsolute = 0;
    LONG m_lCodePage = 0;
    LCID m_lcid = 0;
    // The code page that Write converts UTF-16 text to; none until a code page or a
    // character set is set, and text is written as UTF-16 then.
    std::optional<UINT> m_cpConverter;
};
