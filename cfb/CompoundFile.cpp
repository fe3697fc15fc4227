// Reading and checking the structure of a compound file.
#include "cfb/CompoundFile.h"

#include <algorithm>
#include <cstring>

#include "cfb/CompoundFileFormat.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"

using namespace cfb;

HRESULT CCompoundFile::Open(ILockBytes* pLockBytes, std::shared_ptr<const CCompoundFile>* ppFile) {
    if (CheckExpression(!pLockBytes || !ppFile))
        return STG_E_INVALIDPOINTER;
    try {
        ppFile->reset();
        auto file = std::make_shared<CCompoundFile>(PrivateKey());
        HRESULT hr = file->Load(pLockBytes);
        if (FAILED(hr))
            return hr;
        *ppFile = std::move(file);
        return S_OK;
    } catch (...) {
        return ReportException("CCompoundFile::Open", CV_HERE);
    }
}

HRESULT CCompoundFile::Load(ILockBytes* pLockBytes) {
    m_ptrLockBytes = pLockBytes;
    STATSTG stat;
    HRESULT hr = pLockBytes->Stat(&stat, STATFLAG_NONAME);
    if (!CheckResult(hr))
        return hr;
    m_cbFile = stat.cbSize;

    BYTE header[kHeaderSize];
    hr = ReadHeader(header);
    if (FAILED(hr))
        return hr;
    hr = LoadFat(header);
    if (FAILED(hr))
        return hr;
    std::vector<BYTE> directory;
    hr = LoadDirectory(header, &directory);
    if (FAILED(hr))
        return hr;
    hr = WalkTree(directory);
    if (FAILED(hr))
        return hr;
    return LoadMiniStream(header);
}

HRESULT CCompoundFile::ReadHeader(BYTE* pHeader) {
    if (CheckExpression(m_cbFile < kHeaderSize))
        return STG_E_INVALIDHEADER;
    ULONG cbRead = 0;
    HRESULT hr = m_ptrLockBytes->ReadAt(0, pHeader, kHeaderSize, &cbRead);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(cbRead != kHeaderSize))
        return STG_E_INVALIDHEADER;
    if (CheckExpression(std::memcmp(pHeader, kSignature, sizeof kSignature) != 0))
        return STG_E_INVALIDHEADER;
    if (CheckExpression(ReadU16(pHeader + header::kByteOrder) != kByteOrderMark))
        return STG_E_INVALIDHEADER;
    m_wMajor = ReadU16(pHeader + header::kMajor);
    WORD wShift = ReadU16(pHeader + header::kSectorShift);
    if (CheckExpression(!(m_wMajor == 3 && wShift == 9) && !(m_wMajor == 4 && wShift == 12)))
        return STG_E_INVALIDHEADER;
    if (CheckExpression(ReadU16(pHeader + header::kMiniSectorShift) != 6))
        return STG_E_INVALIDHEADER;
    if (CheckExpression(ReadU32(pHeader + header::kMiniCutoff) != kMiniStreamCutoff))
        return STG_E_INVALIDHEADER;
    m_cbSector = 1u << wShift;
    // Sector n starts at (n + 1) * sector size; the last one may be cut short.
    ULONGLONG cSectors = m_cbFile <= m_cbSector ? 0 : (m_cbFile - 1) / m_cbSector;
    m_cSectors = static_cast<ULONG>(std::min<ULONGLONG>(cSectors, MAXREGSECT + 1ull));
    return S_OK;
}

HRESULT CCompoundFile::ReadFile(ULONGLONG offset, void* pv, ULONG cb) const {
    ULONG cbRead = 0;
    HRESULT hr = m_ptrLockBytes->ReadAt(offset, pv, cb, &cbRead);
    if (!CheckResult(hr))
        return hr;
    if (cbRead < cb)
        std::memset(static_cast<BYTE*>(pv) + cbRead, 0, cb - cbRead);
    return S_OK;
}

HRESULT CCompoundFile::ReadSector(ULONG sect, BYTE* pv) const {
    if (CheckExpression(sect >= m_cSectors))
        return STG_E_DOCFILECORRUPT;
    return ReadFile((static_cast<ULONGLONG>(sect) + 1) * m_cbSector, pv, m_cbSector);
}

HRESULT CCompoundFile::LoadFat(const BYTE* pHeader) {
    const ULONG cFat = ReadU32(pHeader + header::kFatSectorCount);
    if (CheckExpression(cFat > m_cSectors))
        return STG_E_DOCFILECORRUPT;
    const ULONG cPerSector = m_cbSector / 4;

    // The FAT's own sectors: 109 in the header, the rest in the DIFAT chain.
    std::vector<ULONG> arrFatSectors;
    arrFatSectors.reserve(cFat);
    for (ULONG i = 0; i < kHeaderDifatEntries && arrFatSectors.size() < cFat; ++i)
        arrFatSectors.push_back(ReadU32(pHeader + header::kDifat + 4 * i));
    ULONG sectDifat = ReadU32(pHeader + header::kDifatStart);
    std::vector<BYTE> sector(m_cbSector);
    for (ULONG cSteps = 0; arrFatSectors.size() < cFat; ++cSteps) {
        if (CheckExpression(cSteps >= m_cSectors))
            return STG_E_DOCFILECORRUPT;
        HRESULT hr = ReadSector(sectDifat, sector.data());
        if (FAILED(hr))
            return hr;
        for (ULONG i = 0; i + 1 < cPerSector && arrFatSectors.size() < cFat; ++i)
            arrFatSectors.push_back(ReadU32(sector.data() + 4 * i));
        sectDifat = ReadU32(sector.data() + 4 * (cPerSector - 1));
    }

    m_arrFat.resize(static_cast<size_t>(cFat) * cPerSector);
    for (ULONG i = 0; i < cFat; ++i) {
        HRESULT hr = ReadSector(arrFatSectors[i], sector.data());
        if (FAILED(hr))
            return hr;
        for (ULONG j = 0; j < cPerSector; ++j)
            m_arrFat[static_cast<size_t>(i) * cPerSector + j] = ReadU32(sector.data() + 4 * j);
    }
    return S_OK;
}

HRESULT CCompoundFile::FollowChain(ULONG sectStart, std::vector<ULONG>* pSectors) const {
    pSectors->clear();
    // A chain never holds more sectors than the file: a longer walk is a loop.
    for (ULONG sect = sectStart; sect != ENDOFCHAIN; sect = m_arrFat[sect]) {
        if (CheckExpression(sect >= m_cSectors || sect >= m_arrFat.size()))
            return STG_E_DOCFILECORRUPT;
        if (CheckExpression(pSectors->size() >= m_cSectors))
            return STG_E_DOCFILECORRUPT;
        pSectors->push_back(sect);
    }
    return S_OK;
}

HRESULT CCompoundFile::FollowMiniChain(ULONG sectStart, std::vector<ULONG>* pSectors) const {
    pSectors->clear();
    for (ULONG sect = sectStart; sect != ENDOFCHAIN; sect = m_arrMiniFat[sect]) {
        if (CheckExpression(sect >= m_cMiniSectors || sect >= m_arrMiniFat.size()))
            return STG_E_DOCFILECORRUPT;
        if (CheckExpression(pSectors->size() >= m_cMiniSectors))
            return STG_E_DOCFILECORRUPT;
        pSectors->push_back(sect);
    }
    return S_OK;
}

HRESULT CCompoundFile::ReadChainBytes(ULONG sectStart, std::vector<BYTE>* pBytes) const {
    std::vector<ULONG> sectors;
    HRESULT hr = FollowChain(sectStart, &sectors);
    if (FAILED(hr))
        return hr;
    pBytes->resize(sectors.size() * m_cbSector);
    for (size_t i = 0; i < sectors.size(); ++i) {
        hr = ReadSector(sectors[i], pBytes->data() + i * m_cbSector);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CCompoundFile::LoadDirectory(const BYTE* pHeader, std::vector<BYTE>* pDirectory) {
    HRESULT hr = ReadChainBytes(ReadU32(pHeader + header::kDirStart), pDirectory);
    if (FAILED(hr))
        return hr;
    if (CheckExpression(pDirectory->size() < kDirEntrySize))
        return STG_E_DOCFILECORRUPT;
    m_arrEntries.resize(pDirectory->size() / kDirEntrySize);
    m_arrChildren.resize(m_arrEntries.size());
    return S_OK;
}

HRESULT CCompoundFile::ParseEntry(const BYTE* p, CDirEntry* pEntry) const {
    const WORD cbName = ReadU16(p + entry::kNameLength);
    if (CheckExpression(cbName < 2 || cbName > 2 * (kMaxNameLength + 1) || cbName % 2 != 0))
        return STG_E_DOCFILECORRUPT;
    const size_t cchName = cbName / 2 - 1;
    if (CheckExpression(ReadU16(p + entry::kName + 2 * cchName) != 0))
        return STG_E_DOCFILECORRUPT;
    pEntry->strName.resize(cchName);
    for (size_t i = 0; i < cchName; ++i)
        pEntry->strName[i] = static_cast<char16_t>(ReadU16(p + entry::kName + 2 * i));
    pEntry->strUpperName = ToUpperSimple(pEntry->strName);
    pEntry->type = p[entry::kType];
    pEntry->idLeft = ReadU32(p + entry::kLeft);
    pEntry->idRight = ReadU32(p + entry::kRight);
    pEntry->idChild = ReadU32(p + entry::kChild);
    pEntry->clsid = GUID::FromBytes(p + entry::kClsid);
    pEntry->grfStateBits = ReadU32(p + entry::kStateBits);
    pEntry->ctime = FILETIME::FromValue(ReadU64(p + entry::kCreated));
    pEntry->mtime = FILETIME::FromValue(ReadU64(p + entry::kModified));
    pEntry->sectStart = ReadU32(p + entry::kStart);
    pEntry->cbSize = ReadU64(p + entry::kSize);
    // Older writers left the high half of a version 3 size uninitialised; it means nothing.
    if (m_wMajor == 3)
        pEntry->cbSize &= 0xFFFFFFFFull;
    return S_OK;
}

HRESULT CCompoundFile::WalkTree(const std::vector<BYTE>& directory) {
    const size_t cEntries = m_arrEntries.size();
    HRESULT hr = ParseEntry(directory.data(), &m_arrEntries[kRootId]);
    if (FAILED(hr))
        return hr;
    if (CheckExpression(m_arrEntries[kRootId].type != kTypeRoot))
        return STG_E_DOCFILECORRUPT;

    // Every entry may be reached once: a second visit is a cycle or a shared subtree.
    std::vector<bool> arrSeen(cEntries, false);
    arrSeen[kRootId] = true;
    std::vector<ULONG> arrStorages{kRootId};
    std::vector<ULONG> arrPath;  // the in-order walk's stack of left spines
    while (!arrStorages.empty()) {
        const ULONG idStorage = arrStorages.back();
        arrStorages.pop_back();
        std::vector<ULONG>& children = m_arrChildren[idStorage];
        ULONG idNode = m_arrEntries[idStorage].idChild;
        arrPath.clear();
        while (idNode != NOSTREAM || !arrPath.empty()) {
            while (idNode != NOSTREAM) {
                if (CheckExpression(idNode >= cEntries))
                    return STG_E_DOCFILECORRUPT;
                if (CheckExpression(arrSeen[idNode]))
                    return STG_E_DOCFILECORRUPT;
                arrSeen[idNode] = true;
                CDirEntry& node = m_arrEntries[idNode];
                hr = ParseEntry(directory.data() + static_cast<size_t>(idNode) * kDirEntrySize,
                                &node);
                if (FAILED(hr))
                    return hr;
                if (CheckExpression(node.type != kTypeStorage && node.type != kTypeStream))
                    return STG_E_DOCFILECORRUPT;
                arrPath.push_back(idNode);
                idNode = node.idLeft;
            }
            const ULONG idVisit = arrPath.back();
            arrPath.pop_back();
            const CDirEntry& node = m_arrEntries[idVisit];
            children.push_back(idVisit);
            if (node.type == kTypeStorage) {
                arrStorages.push_back(idVisit);
            } else {
                // A stream can never be larger than the file that holds it.
                if (CheckExpression(node.cbSize > m_cbFile))
                    return STG_E_DOCFILECORRUPT;
            }
            idNode = node.idRight;
        }
    }
    return S_OK;
}

HRESULT CCompoundFile::LoadMiniStream(const BYTE* pHeader) {
    const CDirEntry& root = m_arrEntries[kRootId];
    m_cbMiniStream = root.cbSize;
    if (m_cbMiniStream == 0)
        return S_OK;
    if (CheckExpression(m_cbMiniStream > m_cbFile))
        return STG_E_DOCFILECORRUPT;
    HRESULT hr = FollowChain(root.sectStart, &m_arrMiniStream);
    if (FAILED(hr))
        return hr;
    if (CheckExpression(static_cast<ULONGLONG>(m_arrMiniStream.size()) * m_cbSector <
                        m_cbMiniStream))
        return STG_E_DOCFILECORRUPT;
    m_cMiniSectors = static_cast<ULONG>((m_cbMiniStream + kMiniSectorSize - 1) / kMiniSectorSize);

    const ULONG sectMiniFat = ReadU32(pHeader + header::kMiniFatStart);
    std::vector<BYTE> miniFat;
    hr = ReadChainBytes(sectMiniFat, &miniFat);
    if (FAILED(hr))
        return hr;
    m_arrMiniFat.resize(miniFat.size() / 4);
    for (size_t i = 0; i < m_arrMiniFat.size(); ++i)
        m_arrMiniFat[i] = ReadU32(&miniFat[4 * i]);
    return S_OK;
}

ULONG CCompoundFile::FindChild(ULONG idStorage, std::u16string_view name) const {
    // Equal under the name rule is equal after upper-casing (CompareElementNames).
    const std::u16string strUpper = ToUpperSimple(name);
    for (ULONG id : m_arrChildren[idStorage])
        if (m_arrEntries[id].strUpperName == strUpper)
            return id;
    return NOSTREAM;
}

HRESULT CCompoundFile::OpenChain(ULONG idStream, CStreamChain* pChain) const {
    if (CheckExpression(idStream >= m_arrEntries.size() ||
                        m_arrEntries[idStream].type != kTypeStream))
        return STG_E_INVALIDPARAMETER;
    try {
        const CDirEntry& entry = m_arrEntries[idStream];
        pChain->cbSize = entry.cbSize;
        pChain->fMini = entry.cbSize < kMiniStreamCutoff;
        pChain->sectors.clear();
        // An empty stream owns no sectors, whatever its start field says.
        if (entry.cbSize == 0)
            return S_OK;
        const ULONG cbUnit = pChain->fMini ? kMiniSectorSize : m_cbSector;
        HRESULT hr = pChain->fMini ? FollowMiniChain(entry.sectStart, &pChain->sectors)
                                   : FollowChain(entry.sectStart, &pChain->sectors);
        if (FAILED(hr))
            return hr;
        const ULONGLONG cNeeded = (entry.cbSize + cbUnit - 1) / cbUnit;
        if (CheckExpression(pChain->sectors.size() < cNeeded))
            return STG_E_DOCFILECORRUPT;
        pChain->sectors.resize(static_cast<size_t>(cNeeded));
        return S_OK;
    } catch (...) {
        return ReportException("CCompoundFile::OpenChain", CV_HERE);
    }
}

HRESULT CCompoundFile::ReadChain(const CStreamChain& chain, ULONGLONG offset, void* pv, ULONG cb,
                                 ULONG* pcbRead) const {
    *pcbRead = 0;
    if (offset >= chain.cbSize)
        return S_OK;
    cb = static_cast<ULONG>(std::min<ULONGLONG>(cb, chain.cbSize - offset));
    BYTE* pOut = static_cast<BYTE*>(pv);
    const ULONG cbUnit = chain.fMini ? kMiniSectorSize : m_cbSector;
    while (cb > 0) {
        const ULONG sect = chain.sectors[static_cast<size_t>(offset / cbUnit)];
        const ULONG cbWithin = static_cast<ULONG>(offset % cbUnit);
        ULONG cbPart = std::min(cb, cbUnit - cbWithin);
        ULONGLONG position;
        if (chain.fMini) {
            // A mini sector lies inside one sector of the mini stream, since the sector
            // size is a multiple of the mini sector size.
            const ULONGLONG miniOffset = static_cast<ULONGLONG>(sect) * kMiniSectorSize + cbWithin;
            const size_t index = static_cast<size_t>(miniOffset / m_cbSector);
            if (CheckExpression(index >= m_arrMiniStream.size()))
                return STG_E_DOCFILECORRUPT;
            position = (static_cast<ULONGLONG>(m_arrMiniStream[index]) + 1) * m_cbSector +
                       miniOffset % m_cbSector;
        } else {
            // Consecutive sectors of the chain are read in one call.
            size_t index = static_cast<size_t>(offset / cbUnit);
            while (cbPart < cb && index + 1 < chain.sectors.size() &&
                   chain.sectors[index + 1] == chain.sectors[index] + 1) {
                cbPart = static_cast<ULONG>(std::min<ULONGLONG>(cb, cbPart + ULONGLONG{cbUnit}));
                ++index;
            }
            position = (static_cast<ULONGLONG>(sect) + 1) * m_cbSector + cbWithin;
        }
        HRESULT hr = ReadFile(position, pOut, cbPart);
        if (FAILED(hr))
            return hr;
        pOut += cbPart;
        offset += cbPart;
        cb -= cbPart;
        *pcbRead += cbPart;
    }
    return S_OK;
}
