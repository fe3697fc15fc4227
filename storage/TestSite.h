// CTestSite: builds small site files for the storage tests and the site benchmark:
// text pages with their line tables, file pages, and records written byte for byte
// (to make broken ones), in language folders and "Common" with nested folders.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cfb/CompoundFileWriter.h"

class CTestSite {
public:
    // folder: "0x809", "Common"; name: the page name, "images/taskbar.on.ico".
    HRESULT AddTextPage(std::string_view folder, std::string_view name, std::u16string_view text,
                        const CLSID& clsidEntity = CLSID());
    HRESULT AddFilePage(std::string_view folder, std::string_view name, std::string_view content,
                        const CLSID& clsidEntity = CLSID());
    // A record as given, with a data stream of that name when strDataStream is not empty.
    HRESULT AddRecord(std::string_view folder, std::string_view name, std::vector<BYTE> record,
                      std::u16string_view strDataStream = {}, std::vector<BYTE> data = {});

    HRESULT WriteToBytes(std::vector<BYTE>* pBytes) const;
    HRESULT WriteToFile(const std::string& strPath) const;

private:
    HRESULT AddPage(std::string_view folder, std::string_view name, const CLSID& clsidPage,
                    const CLSID& clsidEntity, std::string_view mime, LONG nCodePage,
                    std::vector<BYTE> tail, std::vector<BYTE> data);
    // The storage of a folder path ("0x809/images"), created on first use.
    HRESULT FolderId(const std::string& strPath, ULONG* pId);

    CCompoundFileWriter m_writer;
    std::map<std::string, ULONG> m_mapFolders;
    unsigned m_nDataStreams = 0;
};
