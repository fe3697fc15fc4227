// CRequestObject: the script object `Request` of a local page or of a filter script:
// the query string of the request's URL and, for a URL-encoded form, the fields of its
// body, as two request dictionaries.
//
// The object is filled once from the parsed request (`Init`). Names and values are
// URL-decoded ("%XX" becomes that byte; "+" stays a plus sign) and then read as text
// in the system's ANSI code page, UTF-8 on this platform: bytes that are not UTF-8 (a
// form posted from a page in a legacy code page) come out as U+FFFD, while the whole
// undecoded text stays available through `Item` without an argument. The other members
// of the interface exist and answer E_NOTIMPL.
#pragma once

#include <string>
#include <string_view>

#include "com/DispatchTable.h"
#include "http/HTTPRequest.h"
#include "idl/ServiceInterfaces.h"
#include "objects/ObjectInterfaces1.h"
#include "objects/RequestDictionary.h"

class CRequestObject
    : public CComObjectRoot<CRequestObject, IDispatchImpl<CRequestObject, IRequest>,
                            ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable();

    // Fills the dictionaries from the request; called once. pBody is null for a request
    // without a body; the form is read only when the request's Content-Type is exactly
    // "application/x-www-form-urlencoded". A failure leaves both dictionaries empty.
    HRESULT Init(const CHTTPRequest* pRequest, const std::string* pBody);

    // Splits URL-encoded text into a dictionary: fields separated by '&', name and value
    // by the first '=' (a field without one is ignored), both URL-decoded.
    static HRESULT ParseFields(std::string_view source, CComPtr<CRequestDictionary>* pDict);
    // "%" and two hexadecimal digits become that byte; everything else stays as it is.
    static std::string URLDecode(std::string_view text);

    // IRequest
    HRESULT get_Item(BSTR bstrVar, IDispatch** ppObjReturn) override;
    HRESULT get_QueryString(IRequestDictionary** ppDictReturn) override;
    HRESULT get_Form(IRequestDictionary** ppDictReturn) override;
    HRESULT get_ServerVariables(IRequestDictionary** ppDictReturn) override;
    HRESULT get_ClientCertificate(IRequestDictionary** ppDictReturn) override;
    HRESULT get_Cookies(IRequestDictionary** ppDictReturn) override;
    HRESULT get_TotalBytes(LONG* pcbTotal) override;
    HRESULT BinaryRead(VARIANT* pvarCountToRead, VARIANT* pvarReturn) override;

private:
    HRESULT InitQueryString(CComPtr<CRequestDictionary>* pDict);
    HRESULT ParsePost(std::string_view body, CComPtr<CRequestDictionary>* pDict);

    // The members as scripts call them (dictionaries travel as IDispatch).
    HRESULT DispatchQueryString(IDispatch** ppDictReturn);
    HRESULT DispatchForm(IDispatch** ppDictReturn);
    HRESULT DispatchItem(BSTR bstrVar, IDispatch** ppObjReturn);
    HRESULT DispatchServerVariables(IDispatch** ppDictReturn);
    HRESULT DispatchClientCertificate(IDispatch** ppDictReturn);
    HRESULT DispatchCookies(IDispatch** ppDictReturn);
    HRESULT DispatchBinaryRead(ByRef<VARIANT> varCountToRead, VARIANT* pvarReturn);

    // The parsed request; read only during Init (the page run may outlive it).
    const CHTTPRequest* m_pRequest = nullptr;
    CComPtr<CRequestDictionary> m_pQueryString;
    CComPtr<CRequestDictionary> m_pFormData;  // null unless the body was a URL-encoded form
};
