// CTaskTrayWnd: the tray window, which owns the notification-area icon on the GTK thread.
//
// Everything the tray object is asked arrives as a posted message (ITrayWindow) and is
// carried out here, one message at a time in the order posted: the icon image and
// tooltip, the queue of balloons, the port of the local web server. The icon is a
// StatusNotifierItem (libayatana-appindicator) when a StatusNotifierWatcher is on the
// session bus, else an XEmbed status icon. Its popup menu is built from the tray object's
// menu tree whenever that changes; choosing an item opens its page at the private port.
// Balloons are desktop notifications (libnotify), shown one at a time in arrival order;
// clicking one opens its click page.
//
// Messages that need the port (icon events, balloons and their end, icon and tooltip
// changes) wait, in order, until the port has arrived; nothing the service sends is lost
// or reordered, only delayed. The GTK thread never sleeps for it.
//
// Locks: m_lockQueue guards the incoming queue and the scheduling flag only; it is never
// held while a message is handled.
#pragma once

#include <gtk/gtk.h>
#include <libnotify/notify.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "tray/HtmlDialog.h"
#include "tray/TaskTray.h"
#include "tray/TrayIconPosition.h"
#include "tray/TrayText.h"

typedef struct _AppIndicator AppIndicator;

class CTaskTrayWnd final : public ITrayWindow {
public:
    // How pages are opened; by default "xdg-open ADDRESS".
    using Opener = std::function<void(const std::string& address)>;

    explicit CTaskTrayWnd(CComPtr<CTaskTray> tray);
    ~CTaskTrayWnd();

    // On the GTK thread: draws the icons, picks the icon host and queues the start.
    HRESULT Create();
    void SetOpener(Opener opener) { m_opener = std::move(opener); }

    void Post(TrayPost post) override;
    void MenuChanged() override;
    void Destroy() override;
    void Reset() override;

    bool UsesStatusNotifier() const { return m_pIndicator != nullptr; }

private:
    struct Queued {
        enum class Kind { Message, MenuChanged, Destroy, Reset };
        Kind kind = Kind::Message;
        TrayPost post;
    };
    void Enqueue(Queued item);
    static gboolean OnIdle(gpointer self);
    void Drain();
    void Handle(TrayPost& post);

    void OnToolTip(UINT event);
    void OnBalloon(BalloonRecord record);
    void OnBalloonEnd(UINT clicked);
    void OnSetIcon(const std::string& name);
    void OnSetTip(const std::string& tip);
    void OnSetPrivatePort(UINT port);
    void OnLoadLibraries();
    void OnReset();

    void DisplayIcon();
    void EnsureIcon();
    void RemoveIcon();
    void ApplyIcon();
    void ApplyTip();
    void RebuildMenu();
    void FillMenu(GtkWidget* menu, const std::vector<MenuSnapshotItem>& items);
    void OnIconContextMenu();
    bool FireId(UINT id);
    void NavigateToLocalPage(const std::string& url, const std::string& options);
    void ShowBubble();
    void CloseBubble();
    void CloseDialog();
    std::optional<TrayRect> StatusIconRect() const;

    static void OnItemActivate(GtkMenuItem* item, gpointer self);
    static void OnMenuDeactivate(GtkMenuShell* menu, gpointer self);
    static gboolean OnRegistrationCheck(gpointer self);
    static void OnRegisteredItems(GObject* source, GAsyncResult* result, gpointer self);
    static void OnStatusPopup(GtkStatusIcon* icon, guint button, guint time, gpointer self);
    static gboolean OnStatusButton(GtkStatusIcon* icon, GdkEventButton* event, gpointer self);
    static void OnNotifyAction(NotifyNotification* n, char* action, gpointer self);
    static void OnNotifyClosed(NotifyNotification* n, gpointer self);

    CComPtr<CTaskTray> m_ptrTray;
    Opener m_opener;

    std::mutex m_lockQueue;
    std::deque<Queued> m_queue;  // m_lockQueue
    bool m_bScheduled = false;   // m_lockQueue: an idle call is on its way
    bool m_bMenuQueued = false;  // m_lockQueue: a menu rebuild is queued

    // GTK thread only from here on.
    USHORT m_uPort = 0;
    std::deque<TrayPost> m_deferred;  // messages waiting for the port
    std::deque<BalloonRecord> m_balloons;
    NotifyNotification* m_pBalloon = nullptr;  // the balloon showing, if any
    bool m_bBalloonClicked = false;
    CTrayIconPosition m_position;
    bool m_bLibrariesLoaded = false;
    bool m_bIconShown = false;
    TrayIconImage m_currentIcon = TrayIconImage::Off;
    std::string m_strTip;
    bool m_bBusy = false;              // a popup menu or a visible dialog is open
    CHtmlDialog* m_pDialog = nullptr;  // the visible dialog, if any
    int m_nHiddenDialogs = 0;
    bool m_bDestroyed = false;

    std::string m_strIconDir;
    GDBusConnection* m_pBus = nullptr;    // the session bus, when there is one
    GCancellable* m_pBusCalls = nullptr;  // ends this window's calls on the bus when it goes
    guint m_uRegistrationCheck = 0;       // the timer that checks the item's registration
    int m_nRegistrationChecks = 0;
    AppIndicator* m_pIndicator = nullptr;
    GtkStatusIcon* m_pStatusIcon = nullptr;
    GdkPixbuf* m_pPixbufOn = nullptr;
    GdkPixbuf* m_pPixbufOff = nullptr;
    GtkWidget* m_pMenu = nullptr;
};
