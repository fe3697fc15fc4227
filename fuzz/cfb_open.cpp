// Fuzz target: opens arbitrary bytes as a compound file and walks the whole tree,
// opening every storage and reading every stream to its end, with seeks and clones on
// the way. Any input must end in a status, never a crash, a hang or a huge allocation.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"

namespace {

void Walk(IStorage* pstg, int depth) {
    if (depth > 64)
        return;
    CComPtr<IEnumSTATSTG> enumerator;
    if (FAILED(pstg->EnumElements(0, nullptr, 0, enumerator.Receive())))
        return;
    STATSTG stat;
    while (enumerator->Next(1, &stat, nullptr) == S_OK) {
        const char16_t* name = stat.pwcsName.Str().c_str();
        if (stat.type == STGTY_STORAGE) {
            CComPtr<IStorage> child;
            if (SUCCEEDED(pstg->OpenStorage(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                            nullptr, 0, child.Receive())))
                Walk(child.Get(), depth + 1);
            continue;
        }
        CComPtr<IStream> stream;
        if (FAILED(pstg->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                    stream.Receive())))
            continue;
        BYTE buffer[777];
        ULONG cbRead = 0;
        while (stream->Read(buffer, sizeof buffer, &cbRead) == S_OK) {
        }
        CComPtr<IStream> clone;
        if (SUCCEEDED(stream->Clone(clone.Receive())) &&
            SUCCEEDED(clone->Seek(-100, STREAM_SEEK_END, nullptr)))
            clone->Read(buffer, sizeof buffer, &cbRead);
        STATSTG streamStat;
        stream->Stat(&streamStat, STATFLAG_DEFAULT);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CComPtr<CMemoryLockBytes> lockBytes =
        MakeObject<CMemoryLockBytes>(std::vector<BYTE>(data, data + size));
    CComPtr<IStorage> root;
    if (FAILED(StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr,
                                          STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                          root.Receive())))
        return 0;
    STATSTG stat;
    root->Stat(&stat, STATFLAG_DEFAULT);
    Walk(root.Get(), 0);
    return 0;
}
