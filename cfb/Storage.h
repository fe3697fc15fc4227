// A read-only storage of a compound file: the root or one of its sub-storages.
//
// Elements are found by the format's name rule (length first, then simple upper
// case), so "about£asp" is found as "ABOUT£ASP". Storages and streams are opened for
// reading only; asking for write access, and every operation that would change the
// file, answers STG_E_ACCESSDENIED. The root's `Stat` gives the name and times that its
// byte array reports (the file it came from); a sub-storage's, the element's own.
#pragma once

#include <memory>

#include "cfb/CompoundFile.h"

class CStorage : public CComObjectRoot<CStorage, IStorage> {
public:
    CStorage(std::shared_ptr<const CCompoundFile> file, ULONG id, DWORD grfMode);

    // S_OK for a mode that opens an element for reading; STG_E_ACCESSDENIED when it
    // asks for write access, STG_E_INVALIDFLAG for flags that make no sense for it.
    static HRESULT CheckReadMode(DWORD grfMode);

    HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                         IStream** ppstm) override;
    HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                       IStream** ppstm) override;
    HRESULT CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                          IStorage** ppstg) override;
    HRESULT OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                        DWORD reserved, IStorage** ppstg) override;
    HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                   IStorage* pstgDest) override;
    HRESULT MoveElementTo(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName,
                          DWORD grfFlags) override;
    HRESULT Commit(DWORD grfCommitFlags) override;
    HRESULT Revert() override;
    HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                         IEnumSTATSTG** ppenum) override;
    HRESULT DestroyElement(LPCOLESTR pwcsName) override;
    HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) override;
    HRESULT SetElementTimes(LPCOLESTR pwcsName, const FILETIME* pctime, const FILETIME* patime,
                            const FILETIME* pmtime) override;
    HRESULT SetClass(const CLSID& clsid) override;
    HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

private:
    // The child named pwcsName of the given type: STG_E_FILENOTFOUND when there is none.
    HRESULT FindElement(LPCOLESTR pwcsName, BYTE type, ULONG* pId) const;
    void FillStat(ULONG id, STATSTG* pstatstg, bool fName) const;

    const std::shared_ptr<const CCompoundFile> m_file;
    const ULONG m_id;
    const DWORD m_grfMode;
};
