// Creating the entity that runs a page.
#include "pages/PageEntity.h"

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"

HRESULT CreatePageEntity(const CLSID& clsidEntity, LCID lcid, IApplication* pApp, IPage* pPage,
                         const IID& riid, IUnknown** ppEntity) {
    if (CheckExpression(!ppEntity))
        return E_POINTER;
    *ppEntity = nullptr;
    const CLSID clsid = clsidEntity.IsNull() ? CLSID_FileEntity : clsidEntity;
    CComPtr<IEntity> ptrEntity;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IIDOf<IEntity>(), ptrEntity.ReceiveVoid());
    if (!CheckResult(hr))
        return hr;
    hr = ptrEntity->Init(lcid, pApp, pPage);
    if (!CheckResult(hr))
        return hr;
    return CheckResultValue(ptrEntity->QueryInterface(riid, reinterpret_cast<void**>(ppEntity)));
}
