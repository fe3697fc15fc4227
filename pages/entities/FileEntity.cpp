// The file entity: a stored page handed to the response unchanged.
#include "pages/entities/FileEntity.h"

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"

HRESULT CFileEntity::RegisterClass() {
    return CheckResultValue(
        CClassRegistry::Instance().RegisterClass<CFileEntity>(CLSID_FileEntity, PROGID_FileEntity));
}

HRESULT CFileEntity::Init(LCID lcid, IApplication* pApp, IPage* pPage) {
    (void)pApp;
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(!pPage))
            return E_INVALIDARG;
        m_lcid = lcid;
        m_ptrPage = pPage;
        return S_OK;
    } catch (...) {
        return ReportException("CFileEntity::Init", CV_HERE);
    }
}

HRESULT CFileEntity::GetLCID(LCID* plcid) {
    if (CheckExpression(!plcid))
        return E_POINTER;
    CCritSecLock lock(m_cs);
    *plcid = m_lcid;
    return S_OK;
}

HRESULT CFileEntity::Close() {
    return S_OK;
}

HRESULT CFileEntity::Get(IRequest* pRequest, IUserObject* pSession, IHTTPResponse* pResponse) {
    (void)pRequest;
    (void)pSession;
    if (CheckExpression(!pResponse))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        if (CheckExpression(!m_ptrPage))
            return E_UNEXPECTED;
        BSTR strMimeType;
        HRESULT hr = m_ptrPage->GetMimeType(&strMimeType);
        if (!CheckResult(hr))
            return hr;
        hr = pResponse->put_ContentType(strMimeType);
        if (!CheckResult(hr))
            return hr;
        CComPtr<ITextPage> ptrTextPage;
        if (SUCCEEDED(m_ptrPage->QueryInterface(IIDOf<ITextPage>(), ptrTextPage.ReceiveVoid()))) {
            LONG nCodePage = 0;
            hr = ptrTextPage->GetCodePage(&nCodePage);
            if (!CheckResult(hr))
                return hr;
            hr = pResponse->put_CodePage(nCodePage);
            if (!CheckResult(hr))
                return hr;
        }
        hr = pResponse->put_LCID(static_cast<LONG>(m_lcid));
        if (!CheckResult(hr))
            return hr;
        CComPtr<IStream> ptrStream;
        hr = m_ptrPage->GetDataStream(ptrStream.Receive());
        if (!CheckResult(hr))
            return hr;
        if (CheckExpression(!ptrStream))
            return E_UNEXPECTED;
        // The page's stream is shared by every request for it: a response reads its own
        // clone from the start, where the stream can be cloned.
        CComPtr<IStream> ptrClone;
        if (SUCCEEDED(ptrStream->Clone(ptrClone.Receive())) && ptrClone &&
            SUCCEEDED(ptrClone->Seek(0, STREAM_SEEK_SET, nullptr)))
            ptrStream = ptrClone;
        return CheckResultValue(pResponse->SetStream(ptrStream.Get()));
    } catch (...) {
        return ReportException("CFileEntity::Get", CV_HERE);
    }
}
