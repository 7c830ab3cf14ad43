/* Bus panel test helpers: see panel_support.h. */
#include "panel_support.h"

#include "bus.h"
#include "strl.h"
#include "ui_bus.h"
#include "ui_oled.h"

bool panel_console(engine_app &e, const std::vector<std::string> &args)
{
    return engine_gtk_ready() && e.create(args);
}

pelmorabox_event_t *panel_event(int64_t flags, char start_type, int type)
{
    pelmorabox_event_t *e = pelmorabox_event_create();
    e->flags = flags;
    e->start_type = start_type;
    e->event_type = type;
    strlcpy(e->start_time, "10:00:00:00", sizeof(e->start_time));
    strlcpy(e->media_id, "news/open.mxf", sizeof(e->media_id));
    strlcpy(e->title, "Opening", sizeof(e->title));
    strlcpy(e->duration, "00:00:20:00", sizeof(e->duration));
    e->sys_id = 1000;
    return e;
}

int panel_render(bus_t *bus, int idx, pelmorabox_event_t *e)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    int n = gtk_tree_model_iter_n_children(m, nullptr);
    if (n < idx + 1)
        bus_set_list_count(bus, idx + 1);
    return bus_ui_update_event(bus, idx, e);
}

std::string panel_cell(bus_t *bus, int idx, int column)
{
    return grid_text(bus, idx, column);
}

bool panel_flag(bus_t *bus, int idx, int column)
{
    GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    GtkTreeIter it;
    gboolean v = FALSE;
    if (gtk_tree_model_iter_nth_child(m, &it, nullptr, idx))
        gtk_tree_model_get(m, &it, column, &v, -1);
    return v != FALSE;
}

std::string clock_time(GtkWidget *clock)
{
    ui_oled_timer_ctx_t *ctx = ui_oled_timer_ctx(clock);
    return ctx ? ctx->time_text : "<no clock>";
}

std::string clock_title(GtkWidget *clock)
{
    ui_oled_timer_ctx_t *ctx = ui_oled_timer_ctx(clock);
    return ctx ? ctx->title_text : "<no clock>";
}

std::string counter_text(bus_t *bus, int id)
{
    GtkWidget *b = bus->buttons[id];
    if (!b)
        return "<no button>";
    GtkWidget *label = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(b), "label"));
    return label ? gtk_label_get_text(GTK_LABEL(label)) : "<no label>";
}

namespace {

void collect_clocks(GtkWidget *w, gpointer data)
{
    auto *out = static_cast<std::vector<GtkWidget *> *>(data);
    if (ui_oled_timer_ctx(w))
        out->push_back(w);
    if (GTK_IS_CONTAINER(w))
        gtk_container_foreach(GTK_CONTAINER(w), collect_clocks, data);
}

} // namespace

std::vector<GtkWidget *> panel_clocks(bus_t *bus)
{
    std::vector<GtkWidget *> out;
    collect_clocks(bus->window, &out);
    return out;
}

int panel_status(bus_t *bus)
{
    int shown = -1, count = 0;
    for (int i = 0; i < 3; i++)
        if (bus->online[i] && gtk_widget_get_visible(bus->online[i])) {
            shown = i;
            count++;
        }
    return count == 1 ? shown : -1;
}
