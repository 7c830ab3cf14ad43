/* Dialogs: the modal forms answered from the main loop the way an operator
 * would (buttons, Enter, closing the window), and the worker-thread forms
 * called from a std::thread while the main loop runs. */
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "ui_dlg.h"
#include "ui_tools.h"
#include "widgets_gui.h"

namespace {

/* What the answering side saw of the dialog. */
struct seen_desc
{
    std::string title, text, entry_text;
    int width = -2, max_length = -2;
    GtkWindow *transient = nullptr;
    int message_type = -1, position = -1;
    bool modal = false, has_completion = false, has_filter = false;
};

std::string text_of(GtkWidget *dlg)
{
    gchar *t = nullptr;
    if (GTK_IS_MESSAGE_DIALOG(dlg))
        g_object_get(dlg, "text", &t, NULL);
    std::string s = t ? t : "";
    g_free(t);
    return s;
}

void observe(GtkWidget *dlg, seen_desc *seen)
{
    const char *title = gtk_window_get_title(GTK_WINDOW(dlg));
    seen->title = title ? title : "";
    seen->text = text_of(dlg);
    seen->modal = gtk_window_get_modal(GTK_WINDOW(dlg));
    seen->transient = gtk_window_get_transient_for(GTK_WINDOW(dlg));
    if (GTK_IS_MESSAGE_DIALOG(dlg))
        g_object_get(dlg, "message-type", &seen->message_type, NULL);
    g_object_get(dlg, "window-position", &seen->position, NULL);
    gtk_widget_get_size_request(dlg, &seen->width, nullptr);
    if (GtkWidget *e = widgets_find_child(dlg, GTK_TYPE_ENTRY)) {
        seen->entry_text = gtk_entry_get_text(GTK_ENTRY(e));
        seen->max_length = gtk_entry_get_max_length(GTK_ENTRY(e));
        seen->has_completion = gtk_entry_get_completion(GTK_ENTRY(e)) != nullptr;
        seen->has_filter = g_object_get_data(G_OBJECT(e), "ui_attach_entry_filter_t") != nullptr;
    }
}

/* Answers the next dialog with a response. */
void answer(int response, seen_desc *seen = nullptr)
{
    widgets_when([=] {
        GtkWidget *dlg = gui_find_dialog();
        if (!dlg)
            return false;
        if (seen)
            observe(dlg, seen);
        gtk_dialog_response(GTK_DIALOG(dlg), response);
        return true;
    });
}

/* Closes the next dialog through its window manager close (a delete event). */
void close_window()
{
    widgets_when([] {
        GtkWidget *dlg = gui_find_dialog();
        if (!dlg)
            return false;
        GdkEvent *ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dlg)));
        ev->any.send_event = TRUE;
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        return true;
    });
}

/* Types into the next input dialog's entry, then accepts with Enter or
 * answers with the response. */
void type_and(const char *typed, bool replace, int response, seen_desc *seen = nullptr)
{
    std::string t = typed;
    widgets_when([=] {
        GtkWidget *dlg = gui_find_dialog();
        if (!dlg)
            return false;
        GtkWidget *e = widgets_find_child(dlg, GTK_TYPE_ENTRY);
        if (seen)
            observe(dlg, seen);
        if (replace)
            gtk_editable_delete_text(GTK_EDITABLE(e), 0, -1);
        gtk_editable_set_position(GTK_EDITABLE(e), -1);
        widgets_type(e, t.c_str());
        if (response == GTK_RESPONSE_ACCEPT)
            gtk_widget_activate(e); /* Enter */
        else
            gtk_dialog_response(GTK_DIALOG(dlg), response);
        return true;
    });
}

/* Runs fn on the main thread with the GDK lock held, as a signal handler
 * of the program would. */
template <class F> auto locked(F fn)
{
    gdk_threads_enter();
    auto r = fn();
    gdk_threads_leave();
    return r;
}

/* Runs the main loop (releasing the GDK lock, like the program's gtk_main)
 * until the worker has finished. */
void run_until(std::atomic<bool> &done)
{
    gdk_threads_enter();
    g_timeout_add(
        10,
        [](gpointer p) -> gboolean {
            if (!((std::atomic<bool> *)p)->load())
                return TRUE;
            gtk_main_quit();
            return FALSE;
        },
        &done);
    gtk_main();
    gdk_threads_leave();
}

} // namespace

TEST(Dialogs, ErrorShowsTitleAndMessageVerbatim)
{
    NEED_DISPLAY();
    seen_desc seen;
    answer(GTK_RESPONSE_OK, &seen);
    int r = locked([] { return ui_show_error(nullptr, "ERROR", "100% done, %s %d %n"); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(seen.title, "ERROR");
    EXPECT_EQ(seen.text, "100% done, %s %d %n");
    EXPECT_TRUE(seen.modal);
    EXPECT_EQ(gui_find_dialog(), nullptr) << "the box is destroyed when closed";
}

TEST(Dialogs, ErrorIsTransientForItsWindowAndGoesWithIt)
{
    NEED_DISPLAY();
    GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *child = gtk_label_new("x");
    gtk_container_add(GTK_CONTAINER(win), child);
    gtk_widget_show_all(win);
    seen_desc seen;
    /* the parent is destroyed while the box is up: the box goes with it and
     * the call returns */
    widgets_when([&] {
        GtkWidget *dlg = gui_find_dialog();
        if (!dlg)
            return false;
        observe(dlg, &seen);
        gtk_widget_destroy(win);
        return true;
    });
    int r = locked([&] { return ui_show_error(child, "ERROR", "lost"); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ((void *)seen.transient, (void *)win) << "a child widget gives its top-level as parent";
    gui_pump(50);
    EXPECT_EQ(gui_find_dialog(), nullptr);
}

TEST(Dialogs, OkCancelAnswers)
{
    NEED_DISPLAY();
    seen_desc seen;
    answer(GTK_RESPONSE_OK, &seen);
    EXPECT_EQ(locked([] { return ui_dialog_ok_cancel("Delete 5% of it?"); }), 1);
    EXPECT_EQ(seen.text, "Delete 5% of it?");
    answer(GTK_RESPONSE_CANCEL);
    EXPECT_EQ(locked([] { return ui_dialog_ok_cancel("Sure?"); }), 0);
    answer(GTK_RESPONSE_REJECT);
    EXPECT_EQ(locked([] { return ui_dialog_ok_cancel("Sure?"); }), 0);
    close_window();
    EXPECT_EQ(locked([] { return ui_dialog_ok_cancel("Sure?"); }), 0);
}

TEST(Dialogs, QuestionsAndInputsOpenCentredOverTheMainWindowQuestionsWithTheirIcon)
{
    NEED_DISPLAY();
    GtkWidget *main_window = locked([] { return gtk_window_new(GTK_WINDOW_TOPLEVEL); });
    locked([&] {
        ui_dlg_set_default_parent(main_window);
        return 0;
    });
    seen_desc q, err, in;
    answer(GTK_RESPONSE_OK, &q);
    locked([] { return ui_dialog_ok_cancel("Sure?"); });
    EXPECT_EQ((void *)q.transient, (void *)main_window);
    EXPECT_EQ(q.position, GTK_WIN_POS_CENTER_ON_PARENT);
    EXPECT_EQ(q.message_type, GTK_MESSAGE_QUESTION);
    answer(GTK_RESPONSE_OK, &err);
    locked([] { return ui_show_error(nullptr, "ERROR", "gone"); });
    EXPECT_EQ((void *)err.transient, (void *)main_window) << "an error without a window opens over the main one";
    EXPECT_EQ(err.message_type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(err.position, GTK_WIN_POS_CENTER_ON_PARENT);
    answer(GTK_RESPONSE_REJECT, &in);
    char buf[260] = "";
    locked([&] { return ui_dialog_input("Name", 20, buf); });
    EXPECT_EQ((void *)in.transient, (void *)main_window);
    /* The main window gone, dialogs open centred on the screen. */
    locked([&] {
        gtk_widget_destroy(main_window);
        return 0;
    });
    answer(GTK_RESPONSE_OK, &q);
    locked([] { return ui_dialog_ok_cancel("Sure?"); });
    EXPECT_EQ(q.transient, nullptr);
    EXPECT_EQ(q.position, GTK_WIN_POS_CENTER);
}

TEST(Dialogs, InputLengthPacksWidthAndMaximum)
{
    NEED_DISPLAY();
    char input[260] = "clip";
    seen_desc seen;
    answer(GTK_RESPONSE_REJECT, &seen);
    EXPECT_EQ(locked([&] { return ui_dialog_input_ex("Name", 30025, input, 0); }), 0);
    EXPECT_EQ(seen.title, "Name");
    EXPECT_EQ(seen.width, 300);
    EXPECT_EQ(seen.max_length, 25);
    EXPECT_EQ(seen.entry_text, "clip");
    EXPECT_TRUE(seen.modal);

    seen = {};
    answer(GTK_RESPONSE_REJECT, &seen);
    EXPECT_EQ(locked([&] { return ui_dialog_input_ex("Name", 64, input, 0); }), 0);
    EXPECT_EQ(seen.width, -1) << "no width set";
    EXPECT_EQ(seen.max_length, 64);

    /* a longer starting text is cut to the maximum length */
    strcpy(input, "abcdefghij");
    seen = {};
    answer(GTK_RESPONSE_REJECT, &seen);
    locked([&] { return ui_dialog_input_ex("Name", 20005, input, 0); });
    EXPECT_EQ(seen.entry_text, "abcde");
    EXPECT_STREQ(input, "abcdefghij") << "not accepted: unchanged";
}

TEST(Dialogs, InputAcceptCancelAndClose)
{
    NEED_DISPLAY();
    char input[260] = "old";
    /* Enter accepts; the media-name filter is on */
    seen_desc seen;
    type_and("new/na:me", true, GTK_RESPONSE_ACCEPT, &seen);
    EXPECT_EQ(locked([&] { return ui_dialog_input("Rename", 64, input); }), 1);
    EXPECT_STREQ(input, "newname");
    EXPECT_TRUE(seen.has_filter);
    EXPECT_FALSE(seen.has_completion);

    type_and("zzz", true, GTK_RESPONSE_REJECT);
    EXPECT_EQ(locked([&] { return ui_dialog_input("Rename", 64, input); }), 0);
    EXPECT_STREQ(input, "newname");
    type_and("zzz", true, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(locked([&] { return ui_dialog_input("Rename", 64, input); }), 0);
    close_window();
    EXPECT_EQ(locked([&] { return ui_dialog_input("Rename", 64, input); }), 0);
    EXPECT_STREQ(input, "newname");
}

TEST(Dialogs, InputWithTimecodeFlagCompletesTimecodes)
{
    NEED_DISPLAY();
    char input[260] = "";
    seen_desc seen;
    type_and("1x0:2", false, GTK_RESPONSE_ACCEPT, &seen);
    EXPECT_EQ(locked([&] { return ui_dialog_input_ex("Duration", 32, input, 1); }), 1);
    EXPECT_TRUE(seen.has_completion);
    EXPECT_STREQ(input, "10:2") << "only digits and colons get in";
}

TEST(Dialogs, InputCopiesAtMost259BytesAndWholeCharacters)
{
    NEED_DISPLAY();
    char input[260] = "";
    std::string long_text;
    for (int i = 0; i < 200; i++)
        long_text += "\xc3\xa9"; /* two bytes each: 400 bytes */
    /* len 0: the entry has no maximum */
    type_and(long_text.c_str(), true, GTK_RESPONSE_ACCEPT);
    EXPECT_EQ(locked([&] { return ui_dialog_input("Title", 0, input); }), 1);
    EXPECT_EQ(strlen(input), 258u) << "259 bytes would end inside a character";
    EXPECT_TRUE(g_utf8_validate(input, -1, nullptr));
}

TEST(DialogsAsync, OkCancelFromAWorkerThread)
{
    NEED_DISPLAY();
    for (int response : {GTK_RESPONSE_OK, GTK_RESPONSE_CANCEL}) {
        seen_desc seen;
        answer(response, &seen);
        std::atomic<bool> done{false};
        int r = -1;
        std::thread worker([&] {
            r = ui_dialog_ok_cancel_async("Stop 100% of the channel?");
            done = true;
        });
        run_until(done);
        worker.join();
        EXPECT_EQ(r, response == GTK_RESPONSE_OK ? 1 : 0);
        EXPECT_EQ(seen.text, "Stop 100% of the channel?");
    }
}

TEST(DialogsAsync, InputFromAWorkerThread)
{
    NEED_DISPLAY();
    char input[260] = "start";
    seen_desc seen;
    type_and("/more", false, GTK_RESPONSE_ACCEPT, &seen);
    std::atomic<bool> done{false};
    int r = -1;
    std::thread worker([&] {
        r = ui_dialog_input_async("Name", 30040, input);
        done = true;
    });
    run_until(done);
    worker.join();
    EXPECT_EQ(r, 1);
    EXPECT_STREQ(input, "startmore") << "the media-name filter dropped the slash";
    EXPECT_EQ(seen.width, 300);
    EXPECT_EQ(seen.max_length, 40);

    /* cancelled: the caller's text stays */
    answer(GTK_RESPONSE_REJECT);
    done = false;
    std::thread worker2([&] {
        r = ui_dialog_input_async("Name", 64, input);
        done = true;
    });
    run_until(done);
    worker2.join();
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(input, "startmore");
}

TEST(DialogsAsync, ErrorFromAWorkerThread)
{
    NEED_DISPLAY();
    seen_desc seen;
    answer(GTK_RESPONSE_OK, &seen);
    std::atomic<bool> done{false};
    int r = -1;
    std::thread worker([&] {
        r = ui_show_error_async(nullptr, "ERROR", "disk 99% full");
        done = true;
    });
    run_until(done);
    worker.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(seen.title, "ERROR");
    EXPECT_EQ(seen.text, "disk 99% full");
}

TEST(DialogsAsync, RefusedOnTheMainLoopThreadInsteadOfWaitingForItself)
{
    NEED_DISPLAY();
    std::atomic<bool> done{false};
    int r_ok = -1, r_in = -1, r_err = 1;
    char input[260] = "keep";
    g_idle_add(
        [](gpointer p) -> gboolean {
            auto *a = (std::tuple<std::atomic<bool> *, int *, int *, int *, char *> *)p;
            *std::get<1>(*a) = ui_dialog_ok_cancel_async("Sure?");
            *std::get<2>(*a) = ui_dialog_input_async("Name", 64, std::get<4>(*a));
            *std::get<3>(*a) = ui_show_error_async(nullptr, "ERROR", "x");
            *std::get<0>(*a) = true;
            return FALSE;
        },
        new std::tuple<std::atomic<bool> *, int *, int *, int *, char *>(&done, &r_ok, &r_in, &r_err, input));
    run_until(done);
    EXPECT_EQ(r_ok, 0);
    EXPECT_EQ(r_in, 0);
    EXPECT_EQ(r_err, -22);
    EXPECT_STREQ(input, "keep");
    EXPECT_EQ(gui_find_dialog(), nullptr);
}
