// Opening the root storage of a compound file, read-only, over a byte array or a file.
//
// The mode must open for reading (STGM_READ with any sharing, usually
// STGM_SHARE_EXCLUSIVE = 0x10); write access answers STG_E_ACCESSDENIED. A file that is
// not a compound file answers STG_E_INVALIDHEADER, one whose structure is damaged
// STG_E_DOCFILECORRUPT.
#pragma once

#include "cfb/StorageInterfaces.h"

HRESULT StgOpenStorageOnILockBytes(ILockBytes* plkbyt, IStorage* pstgPriority, DWORD grfMode,
                                   SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);

// pwcsName is a path in UTF-16.
HRESULT StgOpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                       DWORD reserved, IStorage** ppstgOpen);
