// CFileEntity: the entity of a page that is sent as stored (images, style sheets,
// plain HTML): it names the page's MIME type, code page (text pages) and language on
// the response and hands it the page's data stream as the body.
#pragma once

#include "com/CriticalSection.h"
#include "idl/ServiceInterfaces.h"
#include "pages/PageInterfaces.h"

class CFileEntity : public CComObjectRoot<CFileEntity, IHTTPEntity> {
public:
    // Registers the class under its class id and ProgID.
    static HRESULT RegisterClass();

    // IEntity
    HRESULT Init(LCID lcid, IApplication* pApp, IPage* pPage) override;
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT Close() override;
    // IHTTPEntity
    HRESULT Get(IRequest* pRequest, IUserObject* pSession, IHTTPResponse* pResponse) override;

private:
    LCID m_lcid = 0;
    CComPtr<IPage> m_ptrPage;
    CComAutoCriticalSection m_cs;
};
