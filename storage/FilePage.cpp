// A file page: a page whose bytes are served as they are.
#include "storage/FilePage.h"

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "idl/Identifiers.h"
#include "pages/PageEntity.h"

HRESULT CFilePage::RegisterClass() {
    return CheckResultValue(
        CClassRegistry::Instance().RegisterClass<CFilePage>(CLSID_FilePage, PROGID_FilePage));
}

HRESULT CFilePage::Compile(IStream* pMetaInfo, IStream* pData) {
    if (CheckExpression(!pMetaInfo || !pData))
        return E_POINTER;
    return S_OK;
}

HRESULT CFilePage::Load(LCID lcid, IStream*, IStream* pStream, BSTR bstrFullName, BSTR bstrMimeType,
                        const CLSID& clsidEntityType, LONG) {
    try {
        m_ptrDataStream = pStream;
        m_strFullName = bstrFullName.Str();
        m_strMimeType = bstrMimeType.Str();
        m_clsidEntity = clsidEntityType;
        m_lcid = lcid;
        return S_OK;
    } catch (...) {
        return ReportException("CFilePage::Load", CV_HERE);
    }
}

HRESULT CFilePage::CreateEntity(const IID& riid, IApplication* pApp, IUnknown** ppEntity) {
    try {
        return CreatePageEntity(m_clsidEntity, m_lcid, pApp, this, riid, ppEntity);
    } catch (...) {
        return ReportException("CFilePage::CreateEntity", CV_HERE);
    }
}

HRESULT CFilePage::GetDataStream(IStream** ppStream) {
    if (CheckExpression(!ppStream))
        return E_POINTER;
    *ppStream = CComPtr<IStream>(m_ptrDataStream).Detach();
    return S_OK;
}

HRESULT CFilePage::GetMimeType(BSTR* pbstrMimeType) {
    if (CheckExpression(!pbstrMimeType))
        return E_POINTER;
    try {
        *pbstrMimeType = BSTR(m_strMimeType);
        return S_OK;
    } catch (...) {
        return ReportException("CFilePage::GetMimeType", CV_HERE);
    }
}

HRESULT CFilePage::GetName(BSTR* pbstrName) {
    if (CheckExpression(!pbstrName))
        return E_POINTER;
    try {
        *pbstrName = BSTR(m_strFullName);
        return S_OK;
    } catch (...) {
        return ReportException("CFilePage::GetName", CV_HERE);
    }
}
