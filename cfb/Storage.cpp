// The read-only storage of a compound file.
#include "cfb/Storage.h"

#include <vector>

#include "cfb/CompoundFileFormat.h"
#include "cfb/EnumSTATSTG.h"
#include "cfb/Stream.h"
#include "com/DiagnosticLog.h"

using namespace cfb;

CStorage::CStorage(std::shared_ptr<const CCompoundFile> file, ULONG id, DWORD grfMode)
    : m_file(std::move(file)), m_id(id), m_grfMode(grfMode) {}

HRESULT CStorage::CheckReadMode(DWORD grfMode) {
    const DWORD access = grfMode & STGM_ACCESS_MASK;
    if (CheckExpression(access == STGM_ACCESS_MASK))
        return STG_E_INVALIDFLAG;
    if (CheckExpression((grfMode & (STGM_CREATE | STGM_CONVERT | STGM_DELETEONRELEASE)) != 0))
        return STG_E_INVALIDFLAG;
    if (CheckExpression(access != STGM_READ))
        return STG_E_ACCESSDENIED;
    return S_OK;
}

HRESULT CStorage::FindElement(LPCOLESTR pwcsName, BYTE type, ULONG* pId) const {
    std::u16string_view name(pwcsName);
    if (CheckExpression(name.size() > kMaxNameLength))
        return STG_E_INVALIDNAME;
    ULONG id = m_file->FindChild(m_id, name);
    // Not finding an element is an ordinary answer (callers search several places), so
    // it is not logged.
    if (id == NOSTREAM || m_file->Entry(id).type != type)
        return STG_E_FILENOTFOUND;
    *pId = id;
    return S_OK;
}

HRESULT CStorage::CreateStream(LPCOLESTR, DWORD, DWORD, DWORD, IStream** ppstm) {
    if (ppstm)
        *ppstm = nullptr;
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                             IStream** ppstm) {
    if (CheckExpression(!pwcsName || !ppstm))
        return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (CheckExpression(reserved1 || reserved2))
        return STG_E_INVALIDPARAMETER;
    try {
        HRESULT hr = CheckReadMode(grfMode);
        if (FAILED(hr))
            return hr;
        ULONG id = NOSTREAM;
        hr = FindElement(pwcsName, kTypeStream, &id);
        if (FAILED(hr))
            return hr;
        return CheckResultValue(CStream::Create(m_file, id, grfMode, ppstm));
    } catch (...) {
        return ReportException("CStorage::OpenStream", CV_HERE);
    }
}

HRESULT CStorage::CreateStorage(LPCOLESTR, DWORD, DWORD, DWORD, IStorage** ppstg) {
    if (ppstg)
        *ppstg = nullptr;
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode,
                              SNB snbExclude, DWORD reserved, IStorage** ppstg) {
    if (CheckExpression(!pwcsName || !ppstg))
        return STG_E_INVALIDPOINTER;
    *ppstg = nullptr;
    if (CheckExpression(reserved != 0))
        return STG_E_INVALIDPARAMETER;
    // Priority opens and excluded elements belong to writable storages.
    if (CheckExpression(pstgPriority || snbExclude))
        return STG_E_INVALIDFUNCTION;
    try {
        HRESULT hr = CheckReadMode(grfMode);
        if (FAILED(hr))
            return hr;
        ULONG id = NOSTREAM;
        hr = FindElement(pwcsName, kTypeStorage, &id);
        if (FAILED(hr))
            return hr;
        CComPtr<CStorage> storage = MakeObject<CStorage>(&hr, m_file, id, grfMode);
        if (!CheckResult(hr))
            return hr;
        *ppstg = storage.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStorage::OpenStorage", CV_HERE);
    }
}

HRESULT CStorage::CopyTo(DWORD, const IID*, SNB, IStorage*) {
    return E_NOTIMPL;
}

HRESULT CStorage::MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::Commit(DWORD) {
    return S_OK;
}

HRESULT CStorage::Revert() {
    return S_OK;
}

void CStorage::FillStat(ULONG id, STATSTG* pstatstg, bool fName) const {
    const CDirEntry& entry = m_file->Entry(id);
    *pstatstg = STATSTG{};
    if (fName)
        pstatstg->pwcsName = BSTR(entry.strName);
    pstatstg->type = entry.type == kTypeStream ? STGTY_STREAM : STGTY_STORAGE;
    pstatstg->cbSize = entry.type == kTypeStream ? entry.cbSize : 0;
    pstatstg->mtime = entry.mtime;
    pstatstg->ctime = entry.ctime;
    pstatstg->clsid = entry.clsid;
    pstatstg->grfStateBits = entry.grfStateBits;
}

HRESULT CStorage::EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                               IEnumSTATSTG** ppenum) {
    if (CheckExpression(!ppenum))
        return STG_E_INVALIDPOINTER;
    *ppenum = nullptr;
    if (CheckExpression(reserved1 || reserved2 || reserved3))
        return STG_E_INVALIDPARAMETER;
    try {
        auto elements = std::make_shared<std::vector<STATSTG>>();
        const std::vector<ULONG>& children = m_file->Children(m_id);
        elements->resize(children.size());
        for (size_t i = 0; i < children.size(); ++i)
            FillStat(children[i], &(*elements)[i], true);
        HRESULT hr = S_OK;
        CComPtr<CEnumSTATSTG> enumerator = MakeObject<CEnumSTATSTG>(&hr, std::move(elements));
        if (!CheckResult(hr))
            return hr;
        *ppenum = enumerator.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStorage::EnumElements", CV_HERE);
    }
}

HRESULT CStorage::DestroyElement(LPCOLESTR) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::RenameElement(LPCOLESTR, LPCOLESTR) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::SetClass(const CLSID&) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::SetStateBits(DWORD, DWORD) {
    return STG_E_ACCESSDENIED;
}

HRESULT CStorage::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    if (CheckExpression(!pstatstg))
        return STG_E_INVALIDPOINTER;
    try {
        const bool fName = !(grfStatFlag & STATFLAG_NONAME);
        FillStat(m_id, pstatstg, fName && m_id != CCompoundFile::kRootId);
        pstatstg->grfMode = m_grfMode;
        if (m_id == CCompoundFile::kRootId) {
            // The root stands for the whole file: its name and times are the file's.
            STATSTG file;
            HRESULT hr =
                m_file->LockBytes()->Stat(&file, fName ? STATFLAG_DEFAULT : STATFLAG_NONAME);
            if (!CheckResult(hr))
                return hr;
            pstatstg->pwcsName = std::move(file.pwcsName);
            pstatstg->mtime = file.mtime;
            pstatstg->ctime = file.ctime;
            pstatstg->atime = file.atime;
        }
        return S_OK;
    } catch (...) {
        return ReportException("CStorage::Stat", CV_HERE);
    }
}
