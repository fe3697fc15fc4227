// The tray program's icons; see TrayIcons.h.
#include "tray/TrayIcons.h"

#include <cairo.h>
#include <gdk/gdk.h>
#include <glib/gstdio.h>

#include <cmath>

#include "com/DiagnosticLog.h"

GdkPixbuf* DrawTrayIcon(TrayIconImage image, int size) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(surface);
    const double s = size;
    const bool on = image != TrayIconImage::Off;
    // The disc.
    cairo_arc(cr, s / 2, s / 2, s * 0.46, 0, 2 * M_PI);
    if (on)
        cairo_set_source_rgb(cr, 0.16, 0.62, 0.28);
    else
        cairo_set_source_rgb(cr, 0.45, 0.45, 0.45);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_line_width(cr, s * 0.05);
    cairo_stroke(cr);
    // The sign: a tick when filtering is on, a bar when it is off.
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_width(cr, s * 0.12);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    if (on) {
        cairo_move_to(cr, s * 0.28, s * 0.52);
        cairo_line_to(cr, s * 0.44, s * 0.68);
        cairo_line_to(cr, s * 0.72, s * 0.34);
    } else {
        cairo_move_to(cr, s * 0.28, s * 0.5);
        cairo_line_to(cr, s * 0.72, s * 0.5);
    }
    cairo_stroke(cr);
    cairo_destroy(cr);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, size, size);
    cairo_surface_destroy(surface);
    return pixbuf;
}

std::string TrayIconName(TrayIconImage image) {
    return "pellora-" + std::to_string(static_cast<unsigned>(image));
}

bool WriteTrayIconFiles(const std::string& directory) {
    if (CheckExpression(g_mkdir_with_parents(directory.c_str(), 0700) != 0))
        return false;
    for (TrayIconImage image : {TrayIconImage::On, TrayIconImage::Off}) {
        GdkPixbuf* pixbuf = DrawTrayIcon(image, 64);
        if (CheckExpression(!pixbuf))
            return false;
        const std::string path = directory + "/" + TrayIconName(image) + ".png";
        const std::string temp = path + ".tmp";
        GError* error = nullptr;
        // Written aside and renamed, so a host never reads half a file.
        bool saved = gdk_pixbuf_save(pixbuf, temp.c_str(), "png", &error, nullptr);
        g_object_unref(pixbuf);
        if (!saved) {
            LogTrace("WriteTrayIconFiles: %s: %s", path.c_str(), error ? error->message : "?");
            g_clear_error(&error);
            return false;
        }
        if (CheckExpression(g_rename(temp.c_str(), path.c_str()) != 0))
            return false;
    }
    return true;
}
