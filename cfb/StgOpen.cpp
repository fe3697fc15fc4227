// Opening a compound file's root storage.
#include "cfb/StgOpen.h"

#include "cfb/CompoundFile.h"
#include "cfb/FileLockBytes.h"
#include "cfb/Storage.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"

HRESULT StgOpenStorageOnILockBytes(ILockBytes* plkbyt, IStorage* pstgPriority, DWORD grfMode,
                                   SNB snbExclude, DWORD reserved, IStorage** ppstgOpen) {
    if (CheckExpression(!plkbyt || !ppstgOpen))
        return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (CheckExpression(reserved != 0))
        return STG_E_INVALIDPARAMETER;
    if (CheckExpression(pstgPriority || snbExclude))
        return STG_E_INVALIDFUNCTION;
    try {
        HRESULT hr = CStorage::CheckReadMode(grfMode);
        if (FAILED(hr))
            return hr;
        std::shared_ptr<const CCompoundFile> file;
        hr = CCompoundFile::Open(plkbyt, &file);
        if (FAILED(hr))
            return hr;
        CComPtr<CStorage> root = MakeObject<CStorage>(&hr, file, CCompoundFile::kRootId, grfMode);
        if (!CheckResult(hr))
            return hr;
        *ppstgOpen = root.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("StgOpenStorageOnILockBytes", CV_HERE);
    }
}

HRESULT StgOpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                       DWORD reserved, IStorage** ppstgOpen) {
    if (CheckExpression(!pwcsName || !ppstgOpen))
        return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    try {
        HRESULT hr = CStorage::CheckReadMode(grfMode);
        if (FAILED(hr))
            return hr;
        CComPtr<CFileLockBytes> lockBytes = MakeObject<CFileLockBytes>(&hr);
        if (!CheckResult(hr))
            return hr;
        hr = lockBytes->Open(Utf16ToUtf8(pwcsName));
        if (FAILED(hr))
            return hr;
        return StgOpenStorageOnILockBytes(lockBytes.Get(), pstgPriority, grfMode, snbExclude,
                                          reserved, ppstgOpen);
    } catch (...) {
        return ReportException("StgOpenStorage", CV_HERE);
    }
}
