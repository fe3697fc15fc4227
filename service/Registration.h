// The service's registration entries: AppID, classes with their ProgIDs, and the type
// library, under the machine's or a user's class root. Pure functions over a registry
// tree, so the entries can be checked without a store file.
#pragma once

#include <filesystem>
#include <string>

#include "com/Guid.h"
#include "com/HResult.h"
#include "idl/Identifiers.h"
#include "registry/RegistryTree.h"

// The class root: HKEY_LOCAL_MACHINE\SOFTWARE\Classes, or for a user
// HKEY_USERS\S-1-22-1-<uid>\SOFTWARE\Classes.
std::string ClassesRoot(bool perUser, unsigned uid);

// The AppID key under a class root.
std::string AppIdKey(const std::string& classesRoot);

// Writes the AppID, class, ProgID and type-library entries; removes LocalService.
HRESULT WriteRegistration(CRegistryTree& tree, const std::string& classesRoot,
                          const std::filesystem::path& executable);

// Removes everything WriteRegistration wrote, LocalService included.
HRESULT RemoveRegistration(CRegistryTree& tree, const std::string& classesRoot);

// Sets LocalService = the service name under the AppID key.
HRESULT WriteLocalService(CRegistryTree& tree, const std::string& classesRoot,
                          const std::string& serviceName);
