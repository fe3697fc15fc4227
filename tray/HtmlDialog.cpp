// Local pages as HTML dialogs; see HtmlDialog.h.
#include "tray/HtmlDialog.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>

#include "com/DiagnosticLog.h"

namespace {

constexpr int kDefaultWidth = 480;
constexpr int kDefaultHeight = 360;

}  // namespace

TrayPoint CHtmlDialog::Placement(const DialogFeatures& features, int width, int height,
                                 int screenWidth, int screenHeight,
                                 std::optional<TrayPoint> anchor) {
    TrayPoint pt;
    if (features.left || features.top) {
        pt.x = features.left.value_or(0);
        pt.y = features.top.value_or(0);
    } else if (features.center || !anchor) {
        pt.x = (screenWidth - width) / 2;
        pt.y = (screenHeight - height) / 2;
    } else {
        pt.x = anchor->x - width;
        pt.y = anchor->y - height;
    }
    // Keep the whole window on the screen where it fits.
    pt.x = std::max(0, std::min(pt.x, screenWidth - width));
    pt.y = std::max(0, std::min(pt.y, screenHeight - height));
    return pt;
}

CHtmlDialog* CHtmlDialog::Open(const std::string& address, const DialogFeatures& features,
                               bool hidden, std::optional<TrayPoint> anchor,
                               std::function<void()> onClosed) {
    const int width = features.width.value_or(kDefaultWidth);
    const int height = features.height.value_or(kDefaultHeight);
    GtkWidget* window = hidden ? gtk_offscreen_window_new() : gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (CheckExpression(!window))
        return nullptr;
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    if (!features.scroll) {
        WebKitUserStyleSheet* sheet = webkit_user_style_sheet_new(
            "html, body { overflow: hidden !important; }", WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
            WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
        webkit_user_content_manager_add_style_sheet(content, sheet);
        webkit_user_style_sheet_unref(sheet);
    }
    GtkWidget* view = webkit_web_view_new_with_user_content_manager(content);
    g_object_unref(content);
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_window_set_default_size(GTK_WINDOW(window), width, height);

    auto* dialog = new CHtmlDialog();
    dialog->m_window = window;
    dialog->m_bHidden = hidden;
    dialog->m_onClosed = std::move(onClosed);
    g_signal_connect(window, "destroy", G_CALLBACK(&CHtmlDialog::OnDestroy), dialog);
    g_signal_connect(view, "close", G_CALLBACK(&CHtmlDialog::OnPageClose), dialog);
    if (!hidden) {
        gtk_window_set_title(GTK_WINDOW(window), "Pellora");
        gtk_window_set_resizable(GTK_WINDOW(window), features.resizable);
        gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
        g_signal_connect(view, "notify::title", G_CALLBACK(&CHtmlDialog::OnTitle), dialog);
        GdkScreen* screen = gdk_screen_get_default();
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        const int screenWidth = screen ? gdk_screen_get_width(screen) : width;
        const int screenHeight = screen ? gdk_screen_get_height(screen) : height;
        G_GNUC_END_IGNORE_DEPRECATIONS
        TrayPoint pt = Placement(features, width, height, screenWidth, screenHeight, anchor);
        gtk_window_move(GTK_WINDOW(window), pt.x, pt.y);
    }
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), address.c_str());
    gtk_widget_show_all(window);
    return dialog;
}

void CHtmlDialog::Present() {
    if (!m_bHidden)
        gtk_window_present(GTK_WINDOW(m_window));
}

void CHtmlDialog::Close() {
    gtk_widget_destroy(GTK_WIDGET(m_window));
}

void CHtmlDialog::OnPageClose(void*, void* self) {
    static_cast<CHtmlDialog*>(self)->Close();
}

void CHtmlDialog::OnTitle(void* view, void*, void* self) {
    const gchar* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
    if (title && *title)
        gtk_window_set_title(GTK_WINDOW(static_cast<CHtmlDialog*>(self)->m_window), title);
}

void CHtmlDialog::OnDestroy(void*, void* self) {
    auto* dialog = static_cast<CHtmlDialog*>(self);
    if (dialog->m_onClosed)
        dialog->m_onClosed();
    delete dialog;
}
