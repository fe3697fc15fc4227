// A file page: a page of a site whose bytes are served as they are (images, icons and
// other files that are not text pages).
//
// Its record ends after the code page; `Load` ignores the record stream and keeps the
// data stream, the name, the MIME type, the entity class (usually all zeros, the file
// entity) and the language. A file page has no lines, so `Compile` has nothing to write.
#pragma once

#include <string>

#include "pages/PageInterfaces.h"

class CFilePage : public CComObjectRoot<CFilePage, IPage> {
public:
    // Registers the class under its class id and ProgID.
    static HRESULT RegisterClass();

    HRESULT Compile(IStream* pMetaInfo, IStream* pData) override;
    HRESULT Load(LCID lcid, IStream* pMetaStream, IStream* pStream, BSTR bstrFullName,
                 BSTR bstrMimeType, const CLSID& clsidEntityType, LONG nCodePage) override;
    HRESULT CreateEntity(const IID& riid, IApplication* pApp, IUnknown** ppEntity) override;
    HRESULT GetDataStream(IStream** ppStream) override;
    HRESULT GetMimeType(BSTR* pbstrMimeType) override;
    HRESULT GetName(BSTR* pbstrName) override;

private:
    CComPtr<IStream> m_ptrDataStream;
    std::u16string m_strFullName;
    std::u16string m_strMimeType;
    CLSID m_clsidEntity;
    LCID m_lcid = 0;
};
