// Helpers shared by the compound-file tests.
#include "cfb/CfbTestSupport.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"
#include "com/Strings.h"

std::string Sha256Prefix(const std::vector<BYTE>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int cbDigest = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &cbDigest, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < 8 && i < cbDigest; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string PrintRecords(const std::vector<ElementRecord>& records) {
    std::string text;
    for (const auto& r : records) {
        text +=
            r.fStorage ? "storage " : "stream " + std::to_string(r.cbSize) + " " + r.strHash + " ";
        text += r.strPath + "\n";
    }
    return text;
}

std::string EscapeName(std::u16string_view name) {
    std::string text;
    for (char16_t c : name) {
        if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
            text += buffer;
        } else {
            text += Utf16ToUtf8(std::u16string_view(&c, 1));
        }
    }
    return text;
}

HRESULT OpenBytes(const std::vector<BYTE>& bytes, IStorage** ppstg) {
    CComPtr<CMemoryLockBytes> lockBytes = MakeObject<CMemoryLockBytes>(bytes, u"memory.cfb");
    return StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, ppstg);
}

HRESULT ReadAll(IStream* pstm, std::vector<BYTE>* pBytes) {
    pBytes->clear();
    BYTE buffer[1000];  // not a power of two, so reads cross sector edges
    for (;;) {
        ULONG cbRead = 0;
        HRESULT hr = pstm->Read(buffer, sizeof buffer, &cbRead);
        if (FAILED(hr))
            return hr;
        pBytes->insert(pBytes->end(), buffer, buffer + cbRead);
        if (hr == S_FALSE)
            return S_OK;
    }
}

HRESULT WalkTree(IStorage* pstg, std::vector<ElementRecord>* pRecords,
                 const std::string& strPrefix) {
    CComPtr<IEnumSTATSTG> enumerator;
    HRESULT hr = pstg->EnumElements(0, nullptr, 0, enumerator.Receive());
    if (FAILED(hr))
        return hr;
    STATSTG stat;
    while (enumerator->Next(1, &stat, nullptr) == S_OK) {
        ElementRecord record;
        record.strPath = strPrefix + "/" + EscapeName(stat.pwcsName.View());
        if (stat.type == STGTY_STORAGE) {
            record.fStorage = true;
            pRecords->push_back(record);
            CComPtr<IStorage> child;
            hr = pstg->OpenStorage(stat.pwcsName.Str().c_str(), nullptr,
                                   STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, child.Receive());
            if (FAILED(hr))
                return hr;
            hr = WalkTree(child.Get(), pRecords, record.strPath);
            if (FAILED(hr))
                return hr;
        } else {
            CComPtr<IStream> stream;
            hr = pstg->OpenStream(stat.pwcsName.Str().c_str(), nullptr,
                                  STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Receive());
            if (FAILED(hr))
                return hr;
            std::vector<BYTE> bytes;
            hr = ReadAll(stream.Get(), &bytes);
            if (FAILED(hr))
                return hr;
            if (bytes.size() != stat.cbSize)
                return E_FAIL;
            record.cbSize = bytes.size();
            record.strHash = Sha256Prefix(bytes);
            pRecords->push_back(record);
        }
    }
    return S_OK;
}

std::vector<BYTE> ReadFileBytes(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string RunCommand(const std::string& strCommand, int* pStatus) {
    std::string output;
    FILE* pipe = ::popen(strCommand.c_str(), "r");
    if (!pipe) {
        *pStatus = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    *pStatus = ::pclose(pipe);
    return output;
}
