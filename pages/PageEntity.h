// Creating the entity that runs a page, shared by text pages and file pages.
//
// The entity class comes from the page's record; all zeros means the file entity. The
// class is created through the class registry, initialised with the page's language,
// the site's application and the page itself, and asked for the interface wanted.
#pragma once

#include "idl/ServiceInterfaces.h"
#include "pages/PageInterfaces.h"

HRESULT CreatePageEntity(const CLSID& clsidEntity, LCID lcid, IApplication* pApp, IPage* pPage,
                         const IID& riid, IUnknown** ppEntity);
