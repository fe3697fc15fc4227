// The tray window on the GTK thread; see TaskTrayWnd.h.
#include "tray/TaskTrayWnd.h"

#include <libayatana-appindicator/app-indicator.h>

#include <string_view>

#include "com/DiagnosticLog.h"
#include "tray/TrayIcons.h"

namespace {

// The program's name, the icon's first tooltip.
constexpr const char* kProgramName = "Pellora";
constexpr const char* kItemIdKey = "pellora-item-id";

// Icon events as the window handles them.
constexpr UINT kEventContextMenu = 123;  // show the popup menu
constexpr UINT kEventDoubleClick = 515;  // fire the default item

bool NeedsPort(TrayMessage message) {
    switch (message) {
        case TrayMessage::IconCallback:
        case TrayMessage::Balloon:
        case TrayMessage::BalloonEnd:
        case TrayMessage::SetIcon:
        case TrayMessage::SetTip:
            return true;
        default:
            return false;
    }
}

const char* HandlerName(TrayMessage message) {
    switch (message) {
        case TrayMessage::IconCallback:
            return "OnToolTip";
        case TrayMessage::Balloon:
            return "OnBalloon";
        case TrayMessage::BalloonEnd:
            return "OnBalloonEnd";
        case TrayMessage::SetIcon:
            return "OnSetIcon";
        case TrayMessage::SetTip:
            return "OnSetTip";
        case TrayMessage::SetPrivatePort:
            return "OnSetPrivatePort";
        case TrayMessage::LoadLibraries:
            return "OnLoadLibraries";
    }
    return "Handle";
}

// The panel's watcher of StatusNotifierItems, and the path at which the indicator library
// puts the item it makes for the id "pellora".
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemPath = "/org/ayatana/NotificationItem/pellora";
constexpr guint kRegistrationCheckMs = 2000;
constexpr int kRegistrationChecks = 15;

// Whether a StatusNotifierWatcher (a panel that shows StatusNotifierItems) is on `bus`.
bool HasStatusNotifierWatcher(GDBusConnection* bus) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    gboolean has = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &has);
        g_variant_unref(reply);
    }
    g_clear_error(&error);
    return has;
}

void OpenWithXdgOpen(const std::string& address) {
    const gchar* argv[] = {"xdg-open", address.c_str(), nullptr};
    GError* error = nullptr;
    if (!g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                       static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL),
                       nullptr, nullptr, nullptr, &error)) {
        LogTrace("CTaskTrayWnd::NavigateToLocalPage: xdg-open failed: %s\n",
                 error ? error->message : "?");
        g_clear_error(&error);
    }
}

}  // namespace

CTaskTrayWnd::CTaskTrayWnd(CComPtr<CTaskTray> tray)
    : m_ptrTray(std::move(tray)), m_opener(OpenWithXdgOpen), m_strTip(CutTip(kProgramName)) {}

CTaskTrayWnd::~CTaskTrayWnd() {
    CloseDialog();
    CloseBubble();
    RemoveIcon();
    if (m_uRegistrationCheck)
        g_source_remove(m_uRegistrationCheck);
    if (m_pBusCalls) {
        g_cancellable_cancel(m_pBusCalls);
        g_object_unref(m_pBusCalls);
    }
    if (m_pIndicator)
        g_object_unref(m_pIndicator);
    if (m_pBus)
        g_object_unref(m_pBus);
    if (m_pStatusIcon)
        g_object_unref(m_pStatusIcon);
    if (m_pMenu)
        g_object_unref(m_pMenu);
    if (m_pPixbufOn)
        g_object_unref(m_pPixbufOn);
    if (m_pPixbufOff)
        g_object_unref(m_pPixbufOff);
    // An idle call still queued must not reach a window that is gone.
    g_idle_remove_by_data(this);
}

HRESULT CTaskTrayWnd::Create() {
    m_pPixbufOn = DrawTrayIcon(TrayIconImage::On, 48);
    m_pPixbufOff = DrawTrayIcon(TrayIconImage::Off, 48);
    if (CheckExpression(!m_pPixbufOn || !m_pPixbufOff))
        return E_OUTOFMEMORY;
    m_pMenu = gtk_menu_new();
    g_object_ref_sink(m_pMenu);
    g_signal_connect(m_pMenu, "deactivate", G_CALLBACK(OnMenuDeactivate), this);
    if (!notify_is_initted() && !notify_init(kProgramName))
        LogTrace("CTaskTrayWnd::Create: notify_init failed\n");

    // The session bus stays open for the program's life: the indicator then shares this
    // connection instead of opening one of its own while this one is being torn down.
    GError* error = nullptr;
    m_pBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!m_pBus)
        LogTrace("CTaskTrayWnd::Create: no session bus (%s)\n", error ? error->message : "");
    g_clear_error(&error);
    if (m_pBus && HasStatusNotifierWatcher(m_pBus)) {
        const char* runtime = g_get_user_runtime_dir();
        m_strIconDir = std::string(runtime ? runtime : g_get_tmp_dir()) + "/corvane/icons";
        if (WriteTrayIconFiles(m_strIconDir)) {
            m_pIndicator = app_indicator_new_with_path(
                "pellora", TrayIconName(TrayIconImage::Off).c_str(),
                APP_INDICATOR_CATEGORY_APPLICATION_STATUS, m_strIconDir.c_str());
            // The item goes on the bus once it has a menu; before that it must not be
            // given a title or icon (it would announce them on no path).
            app_indicator_set_menu(m_pIndicator, GTK_MENU(m_pMenu));
            m_pBusCalls = g_cancellable_new();
            m_uRegistrationCheck =
                g_timeout_add(kRegistrationCheckMs, &CTaskTrayWnd::OnRegistrationCheck, this);
        }
    }
    if (!m_pIndicator) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        m_pStatusIcon = gtk_status_icon_new_from_pixbuf(m_pPixbufOff);
        gtk_status_icon_set_visible(m_pStatusIcon, FALSE);
        gtk_status_icon_set_title(m_pStatusIcon, kProgramName);
        gtk_status_icon_set_name(m_pStatusIcon, "pellora");
        G_GNUC_END_IGNORE_DEPRECATIONS
        g_signal_connect(m_pStatusIcon, "popup-menu", G_CALLBACK(OnStatusPopup), this);
        g_signal_connect(m_pStatusIcon, "button-press-event", G_CALLBACK(OnStatusButton), this);
    }
    m_position.SetDirectLocator([this] { return StatusIconRect(); });
    m_position.SetScreenSize([] {
        GdkScreen* screen = gdk_screen_get_default();
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        return screen ? std::pair<int, int>(gdk_screen_get_width(screen),
                                            gdk_screen_get_height(screen))
                      : std::pair<int, int>(0, 0);
        G_GNUC_END_IGNORE_DEPRECATIONS
    });
    Post(TrayPost{TrayMessage::LoadLibraries, {}, {}, 0});
    return S_OK;
}

// ---- The queue ------------------------------------------------------------------------

void CTaskTrayWnd::Post(TrayPost post) {
    Enqueue(Queued{Queued::Kind::Message, std::move(post)});
}

void CTaskTrayWnd::MenuChanged() {
    {
        std::lock_guard guard(m_lockQueue);
        // One rebuild shows every change queued before it.
        if (m_bMenuQueued)
            return;
        m_bMenuQueued = true;
    }
    Enqueue(Queued{Queued::Kind::MenuChanged, {}});
}

void CTaskTrayWnd::Destroy() {
    Enqueue(Queued{Queued::Kind::Destroy, {}});
}

void CTaskTrayWnd::Reset() {
    Enqueue(Queued{Queued::Kind::Reset, {}});
}

void CTaskTrayWnd::Enqueue(Queued item) {
    std::lock_guard guard(m_lockQueue);
    m_queue.push_back(std::move(item));
    if (!m_bScheduled) {
        m_bScheduled = true;
        g_idle_add(&CTaskTrayWnd::OnIdle, this);
    }
}

gboolean CTaskTrayWnd::OnIdle(gpointer self) {
    static_cast<CTaskTrayWnd*>(self)->Drain();
    return G_SOURCE_REMOVE;
}

void CTaskTrayWnd::Drain() {
    for (;;) {
        Queued item;
        {
            std::lock_guard guard(m_lockQueue);
            if (m_queue.empty()) {
                m_bScheduled = false;
                return;
            }
            item = std::move(m_queue.front());
            m_queue.pop_front();
            if (item.kind == Queued::Kind::MenuChanged)
                m_bMenuQueued = false;
        }
        if (m_bDestroyed)
            continue;
        switch (item.kind) {
            case Queued::Kind::Message:
                Handle(item.post);
                break;
            case Queued::Kind::MenuChanged:
                RebuildMenu();
                break;
            case Queued::Kind::Reset:
                OnReset();
                break;
            case Queued::Kind::Destroy:
                m_bDestroyed = true;
                CloseBubble();
                RemoveIcon();
                // The loop ends a moment later, so the answer to the call that asked for
                // this (sent right after the call returns) leaves before the program ends.
                g_timeout_add(
                    250,
                    [](gpointer) -> gboolean {
                        gtk_main_quit();
                        return G_SOURCE_REMOVE;
                    },
                    nullptr);
                break;
        }
    }
}

void CTaskTrayWnd::Handle(TrayPost& post) {
    try {
        if (m_uPort == 0 && NeedsPort(post.message)) {
            LogTrace("CTaskTrayWnd::%s: m_uPort not set\n", HandlerName(post.message));
            m_deferred.push_back(std::move(post));
            return;
        }
        switch (post.message) {
            case TrayMessage::IconCallback:
                OnToolTip(post.uValue);
                break;
            case TrayMessage::Balloon:
                OnBalloon(std::move(post.balloon));
                break;
            case TrayMessage::BalloonEnd:
                OnBalloonEnd(post.uValue);
                break;
            case TrayMessage::SetIcon:
                OnSetIcon(post.strText);
                break;
            case TrayMessage::SetTip:
                OnSetTip(post.strText);
                break;
            case TrayMessage::SetPrivatePort:
                OnSetPrivatePort(post.uValue);
                break;
            case TrayMessage::LoadLibraries:
                OnLoadLibraries();
                break;
        }
    } catch (...) {
        ReportException((std::string("CTaskTrayWnd::") + HandlerName(post.message) + "()").c_str(),
                        CV_HERE);
    }
}

// ---- Handlers -------------------------------------------------------------------------

void CTaskTrayWnd::OnSetPrivatePort(UINT port) {
    m_uPort = static_cast<USHORT>(port);
    if (m_uPort == 0)
        return;
    EnsureIcon();
    // What waited for the port goes first, in the order it came.
    std::deque<TrayPost> waiting;
    waiting.swap(m_deferred);
    for (auto& post : waiting)
        Handle(post);
}

void CTaskTrayWnd::OnLoadLibraries() {
#if defined(CORVANE_TRAY_WEBKIT)
    m_bLibrariesLoaded = true;
#else
    // This build has no HTML dialog host: dialog pages open in the browser.
    m_bLibrariesLoaded = false;
#endif
    if (!m_bIconShown)
        DisplayIcon();
}

void CTaskTrayWnd::OnSetIcon(const std::string& name) {
    EnsureIcon();
    m_currentIcon = IconForName(name);
    ApplyIcon();
}

void CTaskTrayWnd::OnSetTip(const std::string& tip) {
    EnsureIcon();
    m_strTip = CutTip(tip);
    ApplyTip();
}

void CTaskTrayWnd::OnToolTip(UINT event) {
    EnsureIcon();
    if (m_bBusy) {
        // The open menu or dialog keeps the focus.
#if defined(CORVANE_TRAY_WEBKIT)
        if (m_pDialog)
            m_pDialog->Present();
#endif
        return;
    }
    if (event == kEventContextMenu)
        OnIconContextMenu();
    else if (event == kEventDoubleClick)
        FireId(m_ptrTray->RootMenu() ? m_ptrTray->RootMenu()->DefaultId() : 0);
}

void CTaskTrayWnd::OnBalloon(BalloonRecord record) {
    EnsureIcon();
    m_balloons.push_back(std::move(record));
    ShowBubble();
}

void CTaskTrayWnd::OnBalloonEnd(UINT clicked) {
    if (m_balloons.empty())
        return;
    BalloonRecord record = std::move(m_balloons.front());
    m_balloons.pop_front();
    if (clicked == 1 && !record.strClickUrl.empty())
        NavigateToLocalPage(record.strClickUrl, record.strExtras);
    ShowBubble();
}

void CTaskTrayWnd::OnReset() {
    // The service that drove the icon has gone: nothing it asked for is still wanted.
    m_uPort = 0;
    m_deferred.clear();
    CloseBubble();
    m_balloons.clear();
    RemoveIcon();
    m_currentIcon = TrayIconImage::Off;
    m_strTip = CutTip(kProgramName);
    ApplyIcon();
    ApplyTip();
}

// ---- The icon -------------------------------------------------------------------------

void CTaskTrayWnd::DisplayIcon() {
    ApplyIcon();
    ApplyTip();
    if (m_pIndicator) {
        app_indicator_set_status(m_pIndicator, APP_INDICATOR_STATUS_ACTIVE);
    } else if (m_pStatusIcon) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_visible(m_pStatusIcon, TRUE);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    m_bIconShown = true;
    m_position.Initialize(this, static_cast<std::int32_t>(TRAY_ICON_ID));
}

void CTaskTrayWnd::EnsureIcon() {
    if (!m_bIconShown)
        DisplayIcon();
}

void CTaskTrayWnd::RemoveIcon() {
    if (!m_bIconShown)
        return;
    if (m_pIndicator)
        app_indicator_set_status(m_pIndicator, APP_INDICATOR_STATUS_PASSIVE);
    if (m_pStatusIcon) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_visible(m_pStatusIcon, FALSE);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    m_bIconShown = false;
}

void CTaskTrayWnd::ApplyIcon() {
    if (m_pIndicator) {
        app_indicator_set_icon_full(m_pIndicator, TrayIconName(m_currentIcon).c_str(),
                                    m_strTip.c_str());
    } else if (m_pStatusIcon) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_from_pixbuf(
            m_pStatusIcon, m_currentIcon == TrayIconImage::Off ? m_pPixbufOff : m_pPixbufOn);
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
}

void CTaskTrayWnd::ApplyTip() {
    if (m_pIndicator) {
        // Panels show an item's title as its tooltip.
        app_indicator_set_title(m_pIndicator, m_strTip.c_str());
    } else if (m_pStatusIcon) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_tooltip_text(m_pStatusIcon, m_strTip.c_str());
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
}

std::optional<TrayRect> CTaskTrayWnd::StatusIconRect() const {
    if (!m_pStatusIcon || !m_bIconShown)
        return std::nullopt;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkRectangle area{};
    if (!gtk_status_icon_is_embedded(m_pStatusIcon) ||
        !gtk_status_icon_get_geometry(m_pStatusIcon, nullptr, &area, nullptr))
        return std::nullopt;
    G_GNUC_END_IGNORE_DEPRECATIONS
    return TrayRect{area.x, area.y, area.x + area.width, area.y + area.height};
}

// ---- The menu -------------------------------------------------------------------------

void CTaskTrayWnd::RebuildMenu() {
    CComPtr<CMenuImpl> root = m_ptrTray->RootMenu();
    if (!root || !m_pMenu)
        return;
    GList* children = gtk_container_get_children(GTK_CONTAINER(m_pMenu));
    for (GList* child = children; child; child = child->next)
        gtk_widget_destroy(GTK_WIDGET(child->data));
    g_list_free(children);
    FillMenu(m_pMenu, root->Snapshot());
}

void CTaskTrayWnd::FillMenu(GtkWidget* menu, const std::vector<MenuSnapshotItem>& items) {
    for (const auto& item : items) {
        GtkWidget* widget = nullptr;
        if (item.kind == MenuSnapshotItem::Kind::Separator) {
            widget = gtk_separator_menu_item_new();
        } else {
            const std::string text = MenuMnemonic(item.strText);
            if (item.bChecked) {
                widget = gtk_check_menu_item_new_with_mnemonic(text.c_str());
                gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), TRUE);
            } else {
                widget = gtk_menu_item_new_with_mnemonic(text.c_str());
            }
            if (item.bDefault) {
                // The default item is drawn bold.
                GtkWidget* label = gtk_bin_get_child(GTK_BIN(widget));
                gchar* escaped = g_markup_escape_text(text.c_str(), -1);
                std::string markup = std::string("<b>") + escaped + "</b>";
                g_free(escaped);
                gtk_label_set_markup_with_mnemonic(GTK_LABEL(label), markup.c_str());
                if (m_pIndicator)
                    app_indicator_set_secondary_activate_target(m_pIndicator, widget);
            }
            gtk_widget_set_sensitive(widget, item.bEnabled);
            if (item.kind == MenuSnapshotItem::Kind::SubMenu) {
                GtkWidget* sub = gtk_menu_new();
                FillMenu(sub, item.subItems);
                gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), sub);
            } else {
                g_object_set_data(G_OBJECT(widget), kItemIdKey, GUINT_TO_POINTER(item.uId));
                g_signal_connect(widget, "activate", G_CALLBACK(OnItemActivate), this);
            }
        }
        gtk_widget_show(widget);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
    }
}

void CTaskTrayWnd::OnItemActivate(GtkMenuItem* item, gpointer self) {
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    const UINT id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), kItemIdKey));
    // A check item's mark is the menu's to decide, not the click's: put it back as it was
    // (without rebuilding, so the items keep their identities on the bus).
    if (GTK_IS_CHECK_MENU_ITEM(item)) {
        GtkCheckMenuItem* check = GTK_CHECK_MENU_ITEM(item);
        g_signal_handlers_block_by_func(item, reinterpret_cast<gpointer>(&OnItemActivate), self);
        gtk_check_menu_item_set_active(check, !gtk_check_menu_item_get_active(check));
        g_signal_handlers_unblock_by_func(item, reinterpret_cast<gpointer>(&OnItemActivate), self);
    }
    if (!wnd->m_pDialog)
        wnd->m_bBusy = false;
    wnd->FireId(id);
}

// The indicator library registers the item with the panel's watcher once, when it has put
// the item on the bus. Now and then (seen on a loaded machine) the item is on the bus but
// the watcher never heard of it, and the icon stays missing. So for a while the watcher's
// list is read, and a registration that is missing is made again on the same connection
// (the one the library shares), for the item's path.
gboolean CTaskTrayWnd::OnRegistrationCheck(gpointer self) {
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    g_dbus_connection_call(
        wnd->m_pBus, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kWatcherName, "RegisteredStatusNotifierItems"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, wnd->m_pBusCalls, &CTaskTrayWnd::OnRegisteredItems, wnd);
    if (++wnd->m_nRegistrationChecks < kRegistrationChecks)
        return G_SOURCE_CONTINUE;
    wnd->m_uRegistrationCheck = 0;
    return G_SOURCE_REMOVE;
}

void CTaskTrayWnd::OnRegisteredItems(GObject* source, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply) {
        // Cancelled: the window is gone. Otherwise no watcher answered; the next check asks again.
        g_clear_error(&error);
        return;
    }
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    const char* unique = g_dbus_connection_get_unique_name(wnd->m_pBus);
    bool registered = false;
    GVariant* items = nullptr;
    g_variant_get(reply, "(v)", &items);
    if (items && unique && g_variant_is_of_type(items, G_VARIANT_TYPE("as"))) {
        GVariantIter iter;
        g_variant_iter_init(&iter, items);
        const gchar* item = nullptr;
        while (!registered && g_variant_iter_next(&iter, "&s", &item))
            registered = std::string_view(item).find(unique) != std::string_view::npos;
    }
    if (items)
        g_variant_unref(items);
    g_variant_unref(reply);
    if (registered) {
        if (wnd->m_uRegistrationCheck)
            g_source_remove(wnd->m_uRegistrationCheck);
        wnd->m_uRegistrationCheck = 0;
        return;
    }
    LogTrace("CTaskTrayWnd: the watcher does not list the item; registering it again\n");
    g_dbus_connection_call(wnd->m_pBus, kWatcherName, kWatcherPath, kWatcherName,
                           "RegisterStatusNotifierItem", g_variant_new("(s)", kItemPath), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, 2000, wnd->m_pBusCalls, nullptr, nullptr);
}

void CTaskTrayWnd::OnMenuDeactivate(GtkMenuShell*, gpointer self) {
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    if (!wnd->m_bBusy || wnd->m_pDialog)
        return;
    wnd->m_bBusy = false;
    wnd->ShowBubble();
}

void CTaskTrayWnd::OnIconContextMenu() {
    if (!m_pStatusIcon)
        return;  // a StatusNotifierItem's host shows the menu itself
    m_bBusy = true;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_menu_popup(GTK_MENU(m_pMenu), nullptr, nullptr, gtk_status_icon_position_menu,
                   m_pStatusIcon, 3, gtk_get_current_event_time());
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!gtk_widget_get_visible(m_pMenu))
        m_bBusy = false;  // the menu could not take the pointer
}

void CTaskTrayWnd::OnStatusPopup(GtkStatusIcon*, guint, guint, gpointer self) {
    static_cast<CTaskTrayWnd*>(self)->Post(
        TrayPost{TrayMessage::IconCallback, {}, {}, kEventContextMenu});
}

gboolean CTaskTrayWnd::OnStatusButton(GtkStatusIcon*, GdkEventButton* event, gpointer self) {
    if (event->type == GDK_2BUTTON_PRESS && event->button == 1)
        static_cast<CTaskTrayWnd*>(self)->Post(
            TrayPost{TrayMessage::IconCallback, {}, {}, kEventDoubleClick});
    return FALSE;
}

bool CTaskTrayWnd::FireId(UINT id) {
    CComPtr<CMenuImpl> root = m_ptrTray->RootMenu();
    std::string url, extras;
    if (!root || !root->FindId(id, &url, &extras))
        return false;
    if (!url.empty())
        NavigateToLocalPage(url, extras);
    return true;
}

void CTaskTrayWnd::NavigateToLocalPage(const std::string& url, const std::string& options) {
    if (m_bBusy)
        return;
    LocalPage page = ParseLocalPage(url);
    const std::string address = LocalPageAddress(m_uPort, page.strPath);
#if defined(CORVANE_TRAY_WEBKIT)
    if (page.mode != LocalPage::Mode::Browser && m_bLibrariesLoaded) {
        TrayPoint anchor;
        const bool located = m_position.GetTrayIconPosition(anchor) >= 0;
        const bool hidden = page.mode == LocalPage::Mode::Hidden;
        // A hidden dialog does not make the tray busy: nobody could close it but its page.
        CHtmlDialog* dialog = CHtmlDialog::Open(
            address, ParseDialogFeatures(options), hidden,
            located ? std::optional<TrayPoint>(anchor) : std::nullopt, [this, hidden] {
                if (hidden) {
                    --m_nHiddenDialogs;
                    return;
                }
                m_pDialog = nullptr;
                m_bBusy = false;
                ShowBubble();
            });
        if (dialog) {
            if (hidden) {
                ++m_nHiddenDialogs;
            } else {
                m_pDialog = dialog;
                m_bBusy = true;
            }
            return;
        }
    }
#endif
    // Without an HTML dialog host, dialog pages (hidden ones too) open in the browser.
    (void)options;
    if (m_opener)
        m_opener(address);
}

// ---- Balloons -------------------------------------------------------------------------

void CTaskTrayWnd::ShowBubble() {
    if (m_pBalloon || m_balloons.empty())
        return;
    const BalloonRecord& record = m_balloons.front();
    NotifyNotification* n = notify_notification_new(record.strTitle.c_str(),
                                                    record.strMessage.c_str(), "dialog-warning");
    notify_notification_set_timeout(n, static_cast<gint>(BALLOON_TIMEOUT_MS));
    notify_notification_set_app_name(n, kProgramName);
    // The icon's position, for servers that place a notification at a point.
    TrayPoint anchor;
    if (m_position.GetTrayIconPosition(anchor) == 1) {
        notify_notification_set_hint(n, "x", g_variant_new_int32(anchor.x));
        notify_notification_set_hint(n, "y", g_variant_new_int32(anchor.y));
    }
    notify_notification_add_action(n, "default", "Open", OnNotifyAction, this, nullptr);
    g_signal_connect(n, "closed", G_CALLBACK(OnNotifyClosed), this);
    m_pBalloon = n;
    m_bBalloonClicked = false;
    GError* error = nullptr;
    if (!notify_notification_show(n, &error)) {
        LogTrace("CTaskTrayWnd::ShowBubble: notification failed: %s\n",
                 error ? error->message : "?");
        g_clear_error(&error);
        // Not shown is closed unclicked: the queue moves on.
        g_signal_handlers_disconnect_by_data(n, this);
        m_pBalloon = nullptr;
        g_object_unref(n);
        Post(TrayPost{TrayMessage::BalloonEnd, {}, {}, 0});
    }
}

void CTaskTrayWnd::CloseDialog() {
#if defined(CORVANE_TRAY_WEBKIT)
    if (m_pDialog)
        m_pDialog->Close();
#endif
}

void CTaskTrayWnd::CloseBubble() {
    if (!m_pBalloon)
        return;
    NotifyNotification* n = m_pBalloon;
    m_pBalloon = nullptr;
    g_signal_handlers_disconnect_by_data(n, this);
    notify_notification_close(n, nullptr);
    g_object_unref(n);
}

void CTaskTrayWnd::OnNotifyAction(NotifyNotification* n, char*, gpointer self) {
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    if (n != wnd->m_pBalloon)
        return;
    wnd->m_bBalloonClicked = true;
    notify_notification_close(n, nullptr);
}

void CTaskTrayWnd::OnNotifyClosed(NotifyNotification* n, gpointer self) {
    auto* wnd = static_cast<CTaskTrayWnd*>(self);
    if (n != wnd->m_pBalloon)
        return;
    wnd->m_pBalloon = nullptr;
    g_signal_handlers_disconnect_by_data(n, wnd);
    g_object_unref(n);
    wnd->Post(TrayPost{TrayMessage::BalloonEnd, {}, {}, wnd->m_bBalloonClicked ? 1u : 0u});
}
