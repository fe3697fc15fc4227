// Laying out and writing a version 3 compound file.
//
// Sector order: FAT, DIFAT (only past 109 FAT sectors), mini FAT, directory, mini
// stream, then the large streams one after another, each chain consecutive.
#include "cfb/CompoundFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cfb/CompoundFileFormat.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"

using namespace cfb;

namespace {

constexpr ULONG kSectorSize = 512;
constexpr ULONG kEntriesPerSector = kSectorSize / 4;
constexpr ULONGLONG kMaxStreamSize = 0x80000000ull;

ULONG SectorsFor(ULONGLONG cb, ULONG cbUnit) {
    return static_cast<ULONG>((cb + cbUnit - 1) / cbUnit);
}

HRESULT WriteErrorFromErrno(int err) {
    switch (err) {
        case ENOSPC:
        case EDQUOT:
            return STG_E_MEDIUMFULL;
        case EACCES:
        case EPERM:
        case EROFS:
            return STG_E_ACCESSDENIED;
        case ENOENT:
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        default:
            return STG_E_WRITEFAULT;
    }
}

}  // namespace

CCompoundFileWriter::CCompoundFileWriter() {
    Node root;
    root.strName = u"Root Entry";
    root.type = kTypeRoot;
    m_arrNodes.push_back(std::move(root));
}

HRESULT CCompoundFileWriter::CheckStorageId(ULONG id) const {
    if (CheckExpression(id >= m_arrNodes.size() || m_arrNodes[id].type == kTypeStream))
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CCompoundFileWriter::AddNode(ULONG idParent, std::u16string_view name, BYTE type,
                                     std::vector<BYTE> data, ULONG* pId) {
    try {
        HRESULT hr = CheckStorageId(idParent);
        if (FAILED(hr))
            return hr;
        hr = CheckElementName(name);
        if (!CheckResult(hr))
            return hr;
        if (CheckExpression(data.size() >= kMaxStreamSize))
            return E_INVALIDARG;
        if (CheckExpression(m_arrNodes.size() >= MAXREGSECT))
            return STG_E_MEDIUMFULL;
        std::u16string strUpper = ToUpperSimple(name);
        if (CheckExpression(m_arrNodes[idParent].setUpperNames.count(strUpper) != 0))
            return STG_E_FILEALREADYEXISTS;
        Node node;
        node.strName = std::u16string(name);
        node.type = type;
        node.data = std::move(data);
        const ULONG id = static_cast<ULONG>(m_arrNodes.size());
        m_arrNodes.push_back(std::move(node));
        m_arrNodes[idParent].setUpperNames.insert(std::move(strUpper));
        m_arrNodes[idParent].children.push_back(id);
        if (pId)
            *pId = id;
        return S_OK;
    } catch (...) {
        return ReportException("CCompoundFileWriter::AddNode", CV_HERE);
    }
}

HRESULT CCompoundFileWriter::AddStorage(ULONG idParent, std::u16string_view name, ULONG* pId) {
    return AddNode(idParent, name, kTypeStorage, {}, pId);
}

HRESULT CCompoundFileWriter::AddStream(ULONG idParent, std::u16string_view name,
                                       std::vector<BYTE> data, ULONG* pId) {
    return AddNode(idParent, name, kTypeStream, std::move(data), pId);
}

HRESULT CCompoundFileWriter::SetClass(ULONG id, const CLSID& clsid) {
    HRESULT hr = CheckStorageId(id);
    if (FAILED(hr))
        return hr;
    m_arrNodes[id].clsid = clsid;
    return S_OK;
}

HRESULT CCompoundFileWriter::SetStateBits(ULONG id, DWORD grfStateBits) {
    HRESULT hr = CheckStorageId(id);
    if (FAILED(hr))
        return hr;
    m_arrNodes[id].grfStateBits = grfStateBits;
    return S_OK;
}

HRESULT CCompoundFileWriter::SetTimes(ULONG id, const FILETIME& ctime, const FILETIME& mtime) {
    HRESULT hr = CheckStorageId(id);
    if (FAILED(hr))
        return hr;
    if (CheckExpression(id == kRoot && ctime.Value() != 0))
        return E_INVALIDARG;
    m_arrNodes[id].ctime = ctime;
    m_arrNodes[id].mtime = mtime;
    return S_OK;
}

ULONG CCompoundFileWriter::LinkTree(const std::vector<ULONG>& sorted, size_t lo, size_t hi,
                                    int depth, std::vector<Links>& links,
                                    std::vector<int>& depths) {
    if (lo >= hi)
        return NOSTREAM;
    const size_t mid = lo + (hi - lo) / 2;
    const ULONG id = sorted[mid];
    links[id].idLeft = LinkTree(sorted, lo, mid, depth + 1, links, depths);
    links[id].idRight = LinkTree(sorted, mid + 1, hi, depth + 1, links, depths);
    depths[id] = depth;
    return id;
}

HRESULT CCompoundFileWriter::WriteToBytes(std::vector<BYTE>* pBytes) const {
    if (CheckExpression(!pBytes))
        return E_POINTER;
    try {
        const ULONG cEntries = static_cast<ULONG>(m_arrNodes.size());

        // Directory links: each storage's children as a balanced tree in name order. The
        // tree's levels are all full but the deepest; making that level red and every
        // other node black gives every path the same number of black nodes.
        std::vector<Links> links(cEntries, Links{NOSTREAM, NOSTREAM, NOSTREAM, kColorBlack});
        std::vector<int> depths(cEntries, 0);
        for (ULONG id = 0; id < cEntries; ++id) {
            const Node& node = m_arrNodes[id];
            if (node.children.empty())
                continue;
            std::vector<ULONG> sorted = node.children;
            std::sort(sorted.begin(), sorted.end(), [this](ULONG a, ULONG b) {
                return CompareElementNames(m_arrNodes[a].strName, m_arrNodes[b].strName) < 0;
            });
            links[id].idChild = LinkTree(sorted, 0, sorted.size(), 0, links, depths);
            int maxDepth = 0;
            for (ULONG child : sorted)
                maxDepth = std::max(maxDepth, depths[child]);
            for (ULONG child : sorted)
                if (maxDepth > 0 && depths[child] == maxDepth)
                    links[child].color = kColorRed;
        }

        // Where each stream's bytes go.
        std::vector<ULONG> starts(cEntries, ENDOFCHAIN);
        ULONG cMiniSectors = 0;
        ULONGLONG cDataSectors = 0;
        for (ULONG id = 1; id < cEntries; ++id) {
            const Node& node = m_arrNodes[id];
            if (node.type != kTypeStream || node.data.empty())
                continue;
            if (node.data.size() < kMiniStreamCutoff) {
                starts[id] = cMiniSectors;
                cMiniSectors += SectorsFor(node.data.size(), kMiniSectorSize);
            } else {
                starts[id] = static_cast<ULONG>(cDataSectors);  // relative until laid out
                cDataSectors += SectorsFor(node.data.size(), kSectorSize);
                if (CheckExpression(cDataSectors >= MAXREGSECT))
                    return STG_E_MEDIUMFULL;
            }
        }
        const ULONGLONG cbMiniStream = static_cast<ULONGLONG>(cMiniSectors) * kMiniSectorSize;
        const ULONG cMiniFatSectors = SectorsFor(cMiniSectors, kEntriesPerSector);
        const ULONG cDirSectors = SectorsFor(cEntries, kSectorSize / kDirEntrySize);
        const ULONG cMiniStreamSectors = SectorsFor(cbMiniStream, kSectorSize);
        const ULONGLONG cBase = cMiniFatSectors + cDirSectors + cMiniStreamSectors + cDataSectors;
        if (CheckExpression(cBase >= MAXREGSECT))
            return STG_E_MEDIUMFULL;

        // The FAT covers every sector, its own and the DIFAT's included.
        ULONG cFat = 0;
        ULONG cDifat = 0;
        for (;;) {
            const ULONGLONG cTotal = cBase + cFat + cDifat;
            const ULONG cFatNeeded = SectorsFor(cTotal, kEntriesPerSector);
            const ULONG cDifatNeeded =
                cFatNeeded > kHeaderDifatEntries
                    ? SectorsFor(cFatNeeded - kHeaderDifatEntries, kEntriesPerSector - 1)
                    : 0;
            if (cFatNeeded == cFat && cDifatNeeded == cDifat)
                break;
            cFat = cFatNeeded;
            cDifat = cDifatNeeded;
        }
        const ULONG sectDifat = cFat;
        const ULONG sectMiniFat = sectDifat + cDifat;
        const ULONG sectDir = sectMiniFat + cMiniFatSectors;
        const ULONG sectMiniStream = sectDir + cDirSectors;
        const ULONG sectData = sectMiniStream + cMiniStreamSectors;
        const ULONG cSectors = static_cast<ULONG>(sectData + cDataSectors);
        if (CheckExpression(cSectors >= MAXREGSECT))
            return STG_E_MEDIUMFULL;

        std::vector<BYTE>& out = *pBytes;
        out.assign((static_cast<size_t>(cSectors) + 1) * kSectorSize, 0);
        auto sectorAt = [&out](ULONG sect) {
            return out.data() + (static_cast<size_t>(sect) + 1) * kSectorSize;
        };

        // FAT.
        std::vector<ULONG> fat(static_cast<size_t>(cFat) * kEntriesPerSector, FREESECT);
        auto chain = [&fat](ULONG first, ULONG count) {
            for (ULONG i = 0; i < count; ++i)
                fat[first + i] = i + 1 < count ? first + i + 1 : ENDOFCHAIN;
        };
        for (ULONG i = 0; i < cFat; ++i)
            fat[i] = FATSECT;
        for (ULONG i = 0; i < cDifat; ++i)
            fat[sectDifat + i] = DIFSECT;
        chain(sectMiniFat, cMiniFatSectors);
        chain(sectDir, cDirSectors);
        chain(sectMiniStream, cMiniStreamSectors);
        for (ULONG id = 1; id < cEntries; ++id) {
            const Node& node = m_arrNodes[id];
            if (node.type != kTypeStream || node.data.size() < kMiniStreamCutoff)
                continue;
            starts[id] += sectData;
            chain(starts[id], SectorsFor(node.data.size(), kSectorSize));
            std::memcpy(sectorAt(starts[id]), node.data.data(), node.data.size());
        }
        for (ULONG i = 0; i < cFat; ++i)
            for (ULONG j = 0; j < kEntriesPerSector; ++j)
                WriteU32(sectorAt(i) + 4 * j, fat[static_cast<size_t>(i) * kEntriesPerSector + j]);

        // DIFAT sectors: the FAT sectors past the header's 109, then the next link.
        for (ULONG i = 0; i < cDifat; ++i) {
            BYTE* p = sectorAt(sectDifat + i);
            for (ULONG j = 0; j + 1 < kEntriesPerSector; ++j) {
                const ULONGLONG index =
                    kHeaderDifatEntries + ULONGLONG{i} * (kEntriesPerSector - 1) + j;
                WriteU32(p + 4 * j, index < cFat ? static_cast<ULONG>(index) : FREESECT);
            }
            WriteU32(p + 4 * (kEntriesPerSector - 1),
                     i + 1 < cDifat ? sectDifat + i + 1 : ENDOFCHAIN);
        }

        // Mini FAT and mini stream.
        {
            std::vector<ULONG> miniFat(static_cast<size_t>(cMiniFatSectors) * kEntriesPerSector,
                                       FREESECT);
            std::vector<BYTE> miniStream(static_cast<size_t>(cbMiniStream));
            for (ULONG id = 1; id < cEntries; ++id) {
                const Node& node = m_arrNodes[id];
                if (node.type != kTypeStream || node.data.empty() ||
                    node.data.size() >= kMiniStreamCutoff)
                    continue;
                const ULONG count = SectorsFor(node.data.size(), kMiniSectorSize);
                for (ULONG i = 0; i < count; ++i)
                    miniFat[starts[id] + i] = i + 1 < count ? starts[id] + i + 1 : ENDOFCHAIN;
                std::memcpy(miniStream.data() + static_cast<size_t>(starts[id]) * kMiniSectorSize,
                            node.data.data(), node.data.size());
            }
            for (size_t i = 0; i < miniFat.size(); ++i)
                WriteU32(sectorAt(sectMiniFat) + 4 * i, miniFat[i]);  // consecutive sectors
            if (!miniStream.empty())
                std::memcpy(sectorAt(sectMiniStream), miniStream.data(), miniStream.size());
        }

        // Directory; unused entries keep empty links, as the format asks.
        for (ULONG slot = 0; slot < cDirSectors * (kSectorSize / kDirEntrySize); ++slot) {
            BYTE* p = sectorAt(sectDir) + static_cast<size_t>(slot) * kDirEntrySize;
            if (slot >= cEntries) {
                WriteU32(p + entry::kLeft, NOSTREAM);
                WriteU32(p + entry::kRight, NOSTREAM);
                WriteU32(p + entry::kChild, NOSTREAM);
                continue;
            }
            const Node& node = m_arrNodes[slot];
            for (size_t i = 0; i < node.strName.size(); ++i)
                WriteU16(p + entry::kName + 2 * i, node.strName[i]);
            WriteU16(p + entry::kNameLength, static_cast<WORD>(2 * (node.strName.size() + 1)));
            p[entry::kType] = node.type;
            p[entry::kColor] = links[slot].color;
            WriteU32(p + entry::kLeft, links[slot].idLeft);
            WriteU32(p + entry::kRight, links[slot].idRight);
            WriteU32(p + entry::kChild, links[slot].idChild);
            const auto clsid = node.clsid.ToBytes();
            std::memcpy(p + entry::kClsid, clsid.data(), clsid.size());
            WriteU32(p + entry::kStateBits, node.grfStateBits);
            WriteU64(p + entry::kCreated, node.ctime.Value());
            WriteU64(p + entry::kModified, node.mtime.Value());
            if (node.type == kTypeRoot) {
                WriteU32(p + entry::kStart, cMiniStreamSectors ? sectMiniStream : ENDOFCHAIN);
                WriteU64(p + entry::kSize, cbMiniStream);
            } else if (node.type == kTypeStream) {
                WriteU32(p + entry::kStart, starts[slot]);
                WriteU64(p + entry::kSize, node.data.size());
            }
        }

        // Header.
        BYTE* h = out.data();
        std::memcpy(h, kSignature, sizeof kSignature);
        WriteU16(h + header::kMinor, kMinorVersion);
        WriteU16(h + header::kMajor, 3);
        WriteU16(h + header::kByteOrder, kByteOrderMark);
        WriteU16(h + header::kSectorShift, 9);
        WriteU16(h + header::kMiniSectorShift, 6);
        WriteU32(h + header::kFatSectorCount, cFat);
        WriteU32(h + header::kDirStart, sectDir);
        WriteU32(h + header::kMiniCutoff, kMiniStreamCutoff);
        WriteU32(h + header::kMiniFatStart, cMiniFatSectors ? sectMiniFat : ENDOFCHAIN);
        WriteU32(h + header::kMiniFatCount, cMiniFatSectors);
        WriteU32(h + header::kDifatStart, cDifat ? sectDifat : ENDOFCHAIN);
        WriteU32(h + header::kDifatCount, cDifat);
        for (ULONG i = 0; i < kHeaderDifatEntries; ++i)
            WriteU32(h + header::kDifat + 4 * i, i < cFat ? i : FREESECT);
        return S_OK;
    } catch (...) {
        return ReportException("CCompoundFileWriter::WriteToBytes", CV_HERE);
    }
}

HRESULT CCompoundFileWriter::WriteToFile(const std::string& strPath) const {
    try {
        std::vector<BYTE> bytes;
        HRESULT hr = WriteToBytes(&bytes);
        if (FAILED(hr))
            return hr;

        const size_t slash = strPath.rfind('/');
        const std::string strDir = slash == std::string::npos ? "." : strPath.substr(0, slash + 1);
        const std::string strBase =
            slash == std::string::npos ? strPath : strPath.substr(slash + 1);
        if (CheckExpression(strBase.empty()))
            return STG_E_INVALIDNAME;
        std::string strTemp =
            (slash == std::string::npos ? std::string() : strDir) + "." + strBase + ".XXXXXX";
        int fd = ::mkstemp(strTemp.data());
        if (CheckExpression(fd < 0))
            return WriteErrorFromErrno(errno);

        int err = 0;
        size_t cbDone = 0;
        while (cbDone < bytes.size() && err == 0) {
            ssize_t n = ::write(fd, bytes.data() + cbDone, bytes.size() - cbDone);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                err = errno;
            else
                cbDone += static_cast<size_t>(n);
        }
        // A replaced file keeps its permissions; a new one is readable by everyone, as
        // the service reads sites under its own account.
        struct stat st {};
        const mode_t mode = ::stat(strPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
        if (err == 0 && ::fchmod(fd, mode) != 0)
            err = errno;
        if (err == 0 && ::fsync(fd) != 0)
            err = errno;
        if (::close(fd) != 0 && err == 0)
            err = errno;
        if (err == 0 && ::rename(strTemp.c_str(), strPath.c_str()) != 0)
            err = errno;
        if (CheckExpression(err != 0)) {
            ::unlink(strTemp.c_str());
            return WriteErrorFromErrno(err);
        }
        // Make the rename itself durable.
        int fdDir = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir >= 0) {
            ::fsync(fdDir);
            ::close(fdDir);
        }
        return S_OK;
    } catch (...) {
        return ReportException("CCompoundFileWriter::WriteToFile", CV_HERE);
    }
}
