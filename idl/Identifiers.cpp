// The list of every identifier in Identifiers.h, for registration and for the checks
// that no two of them collide.
#include "idl/Identifiers.h"

#include <array>

namespace {

#define CV_ID(name, kind)                 \
    IdentifierEntry {                     \
#name, name, IdentifierKind::kind \
    }

constexpr std::array kIdentifiers = {
    CV_ID(LIBID_Corvane, TypeLibrary),
    CV_ID(LIBID_Pellora, TypeLibrary),
    CV_ID(APPID_Corvane, Application),
    CV_ID(APPID_Pellora, Application),
    CV_ID(CLSID_Server, Class),
    CV_ID(CLSID_FilePage, Class),
    CV_ID(CLSID_TextPage, Class),
    CV_ID(CLSID_ASAEntity, Class),
    CV_ID(CLSID_ASPEntity, Class),
    CV_ID(CLSID_FileEntity, Class),
    CV_ID(CLSID_ServerObject, Class),
    CV_ID(CLSID_TrayIcon, Class),
    CV_ID(CLSID_PelloraTrayIcon, Class),
    CV_ID(IID_ISocketServer, Interface),
    CV_ID(IID_IPellora, Interface),
    CV_ID(IID_IEntity, Interface),
    CV_ID(IID_IHTTPEntity, Interface),
    CV_ID(IID_IASPEntity, Interface),
    CV_ID(IID_IScriptEntity, Interface),
    CV_ID(IID_IHTTPResponse, Interface),
    CV_ID(IID_IScriptInstance, Interface),
    CV_ID(IID_IApplicationEx, Interface),
    CV_ID(IID_ICorvane_Reserved, Interface),
    CV_ID(IID_IRequest, Interface),
    CV_ID(IID_IRequestDictionary, Interface),
    CV_ID(IID_IResponse, Interface),
    CV_ID(IID_IApplication, Interface),
    CV_ID(IID_IVariantDictionary, Interface),
    CV_ID(IID_IServerObject, Interface),
    CV_ID(IID_IStringList2, Interface),
    CV_ID(IID_IStorageObject, Interface),
    CV_ID(IID_IFilterObject, Interface),
    CV_ID(IID_IUserObject, Interface),
    CV_ID(IID_ITrayIcon, Interface),
    CV_ID(IID_IMenu, Interface),
    CV_ID(IID_IConnection, Interface),
    CV_ID(CATID_ActiveScript, Category),
    CV_ID(CATID_ActiveScriptParse, Category),
    CV_ID(IID_IActiveScriptSite, Platform),
    CV_ID(CLSID_ProcessDebugManager, Platform),
    CV_ID(CLSID_StdComponentCategoriesMgr, Platform),
};

#undef CV_ID

constexpr std::array kProgIds = {
    ProgIdEntry{&CLSID_Server, PROGID_Server, PROGID_Server1, "Server Class"},
    ProgIdEntry{&CLSID_FilePage, PROGID_FilePage, PROGID_FilePage1, "FilePage Class"},
    ProgIdEntry{&CLSID_TextPage, PROGID_TextPage, PROGID_TextPage1, "TextPage Class"},
    ProgIdEntry{&CLSID_ASAEntity, PROGID_ASAEntity, PROGID_ASAEntity1, "ASAEntity Class"},
    ProgIdEntry{&CLSID_ASPEntity, PROGID_ASPEntity, PROGID_ASPEntity1, "ASPEntity Class"},
    ProgIdEntry{&CLSID_FileEntity, PROGID_FileEntity, PROGID_FileEntity1, "FileEntity Class"},
    ProgIdEntry{&CLSID_PelloraTrayIcon, PROGID_PelloraTrayIcon, PROGID_PelloraTrayIcon1,
                "TrayIcon Class"},
};

}  // namespace

std::span<const IdentifierEntry> AllIdentifiers() {
    return kIdentifiers;
}

std::span<const ProgIdEntry> AllProgIds() {
    return kProgIds;
}
