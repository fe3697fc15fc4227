// Compound-file reader figures on a site-sized file held in memory, in one run:
//  - open: StgOpenStorageOnILockBytes (header, FAT, directory and tree checks) per second;
//  - page reads: open a language folder, its page record and data stream and read both
//    whole, the storage manager's work for one page, against a baseline that finds the
//    same bytes in a hash map and copies them.
// Each figure is printed with its ratio to the baseline (baseline time / ours).
#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfb/CompoundFileWriter.h"
#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"
#include "com/Strings.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPages = 300;
constexpr int kRounds = 20;
constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;

std::u16string PageName(int i) {
    return u"page" + Utf8ToUtf16(std::to_string(i)) + u"£asp";
}
std::u16string DataName(int i) {
    return Utf8ToUtf16("DATA" + std::to_string(i));
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
    CCompoundFileWriter writer;
    ULONG folder = 0;
    writer.AddStorage(CCompoundFileWriter::kRoot, u"0x409", &folder);
    std::unordered_map<std::u16string, std::vector<BYTE>> baseline;
    for (int i = 0; i < kPages; ++i) {
        std::vector<BYTE> record(300, static_cast<BYTE>(i));
        std::vector<BYTE> data(2000 + (i % 10) * 1000, static_cast<BYTE>(i + 1));
        baseline[PageName(i)] = record;
        baseline[DataName(i)] = data;
        writer.AddStream(folder, PageName(i), std::move(record));
        writer.AddStream(folder, DataName(i), std::move(data));
    }
    std::vector<BYTE> file;
    if (FAILED(writer.WriteToBytes(&file)))
        return 1;
    CComPtr<CMemoryLockBytes> lockBytes =
        MakeObject<CMemoryLockBytes>(std::span<const BYTE>(file), u"bench.dat");

    // Opens.
    auto start = Clock::now();
    for (int i = 0; i < kRounds * 50; ++i) {
        CComPtr<IStorage> root;
        if (FAILED(StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr, kRead, nullptr, 0,
                                              root.Receive())))
            return 1;
    }
    const double opensPerSecond = kRounds * 50 / Seconds(start);

    CComPtr<IStorage> root;
    StgOpenStorageOnILockBytes(lockBytes.Get(), nullptr, kRead, nullptr, 0, root.Receive());
    std::vector<BYTE> buffer(16384);
    size_t checksum = 0;
    start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPages; ++i) {
            CComPtr<IStorage> lang;
            root->OpenStorage(u"0x409", nullptr, kRead, nullptr, 0, lang.Receive());
            for (const std::u16string& name : {PageName(i), DataName(i)}) {
                CComPtr<IStream> stream;
                lang->OpenStream(name.c_str(), nullptr, kRead, 0, stream.Receive());
                ULONG cbRead = 0;
                stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead);
                checksum += cbRead + buffer[0];
            }
        }
    }
    const double ours = Seconds(start);
    start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPages; ++i) {
            for (const std::u16string& name : {PageName(i), DataName(i)}) {
                const std::vector<BYTE>& bytes = baseline.at(name);
                std::copy(bytes.begin(), bytes.end(), buffer.begin());
                checksum += bytes.size() + buffer[0];
            }
        }
    }
    const double bare = Seconds(start);
    const double pages = static_cast<double>(kRounds) * kPages;
    std::printf("cfb open (%zu-byte site, %d elements): %.0f opens/s\n", file.size(),
                2 * kPages + 1, opensPerSecond);
    std::printf("cfb page reads: %.0f pages/s, baseline %.0f pages/s, ratio %.3f (checksum %zu)\n",
                pages / ours, pages / bare, bare / ours, checksum);
    return 0;
}
