/* Built-in images: every picture the program draws from its own data, in
 * the serialized GdkPixbuf format (RGBA, 8 bits), for gdk_pixbuf_new_from_inline
 * and the inline_data of button tables. Written by tools/images/gen_images;
 * change the drawings there and regenerate instead of editing this file. */
#pragma once
#include <gdk-pixbuf/gdk-pixbuf.h>

/* One entry of the catalogue; the catalogue ends with a null name. */
typedef struct ui_image_desc {
    const char *name;
    const guint8 *data;
    int width, height;
    const char *role;
} ui_image_t;

extern const ui_image_desc ui_images[];

/* The data of the image with that name, or null. */
const guint8 *ui_images_lookup(const char *name);
/* A new pixbuf of built-in data (caller unrefs), or null for null or bad data. */
GdkPixbuf *ui_images_pixbuf(const guint8 *data);

extern const guint8 inline_image_logo_16x16[]; /* 16x16, program logo, 16 pixels */
extern const guint8 inline_image_logo_32x32[]; /* 32x32, program logo, 32 pixels */
extern const guint8 inline_image_logo_48x48[]; /* 48x48, program logo, 48 pixels */
extern const guint8 inline_image_logo[]; /* 96x96, program logo of the event item dialog */
extern const guint8 status_offline_image[]; /* 16x16, bus tab: offline */
extern const guint8 status_online_paused_image[]; /* 16x16, bus tab: online, paused */
extern const guint8 status_online_playing_image[]; /* 16x16, bus tab: online, playing */
extern const guint8 inline_image_start_type_follow[]; /* 16x16, start type: follow */
extern const guint8 inline_image_start_type_manual[]; /* 16x16, start type: manual */
extern const guint8 inline_image_start_type_fixed_time[]; /* 16x16, start type: fixed time */
extern const guint8 inline_image_start_type_gap_fill[]; /* 16x16, start type: gap fill */
extern const guint8 list_bus_absent_items_image[]; /* 24x24, absent items */
extern const guint8 list_bus_error_items_image[]; /* 24x24, error items */
extern const guint8 list_bus_checking_items_image[]; /* 24x24, checking items */
extern const guint8 list_bus_present_items_image[]; /* 24x24, present items */
extern const guint8 item_add_image[]; /* 32x32, add item */
extern const guint8 item_delete_image[]; /* 32x32, delete item */
extern const guint8 item_edit_image[]; /* 32x32, edit item */
extern const guint8 item_preview_image[]; /* 32x32, preview item */
extern const guint8 channel_stop_image[]; /* 32x32, stop channel */
extern const guint8 channel_start_image[]; /* 32x32, start channel */
extern const guint8 help_button_image[]; /* 32x32, help */
extern const guint8 company_button_image[]; /* 32x32, maker's web page */
extern const guint8 list_open_image[]; /* 32x32, open schedule */
extern const guint8 list_close_image[]; /* 32x32, close schedule */
extern const guint8 list_append_image[]; /* 32x32, append schedule */
extern const guint8 list_truncate_above_image[]; /* 32x32, truncate above */
extern const guint8 list_truncate_below_image[]; /* 32x32, truncate below */
extern const guint8 list_saveas_image[]; /* 32x32, save schedule as */
extern const guint8 list_take_image[]; /* 48x48, take */
extern const guint8 list_take_n_image[]; /* 48x48, jump to item */
extern const guint8 list_fallback_image[]; /* 48x48, fallback macro */
extern const guint8 item_dlg_trim_image[]; /* 24x24, trim event */
extern const guint8 item_dlg_pad_image[]; /* 24x24, pad event */
extern const guint8 preview_show_img[]; /* 24x24, show preview */
extern const guint8 preview_hide_img[]; /* 24x24, hide preview */
extern const guint8 item_dlg_audio_map_image[]; /* 24x24, audio mapping */
extern const guint8 item_dlg_audio_amp_image[]; /* 24x24, audio gain */
extern const guint8 metatree_0[]; /* 16x16, meta tree: ASSETS */
extern const guint8 metatree_1[]; /* 16x16, meta tree: GLOBAL VARS */
extern const guint8 metatree_2[]; /* 16x16, meta tree: template variable */
extern const guint8 metatree_3[]; /* 16x16, meta tree: global pair */
extern const guint8 metatree_4[]; /* 16x16, meta tree: template */
extern const guint8 library_icon_folder[]; /* 24x24, library folder */
extern const guint8 library_icon_clip[]; /* 24x24, library clip */
extern const guint8 library_icon_subclip[]; /* 32x32, library subclip */
extern const guint8 library_rename_image[]; /* 24x24, rename item */
extern const guint8 library_delete_image[]; /* 24x24, delete items */
extern const guint8 library_move_image[]; /* 24x24, move items */
extern const guint8 library_create_dir_image[]; /* 24x24, create folder */
extern const guint8 library_transfer_list_image[]; /* 24x24, transfer list */
extern const guint8 library_transfer_export_image[]; /* 24x24, export */
extern const guint8 library_transcoder_list_image[]; /* 24x24, transcoder list */
extern const guint8 library_transcoder_item_image[]; /* 24x24, transcode */
extern const guint8 library_audionorm_item_image[]; /* 24x24, normalise audio */
extern const guint8 library_find_image[]; /* 24x24, find item */
extern const guint8 library_find_next_image[]; /* 16x16, find next item */
extern const guint8 library_subclip_image[]; /* 24x24, new subclip */
extern const guint8 library_show_image[]; /* 24x24, show library */
extern const guint8 library_hide_image[]; /* 24x24, hide library */
extern const guint8 library_capacity_image[]; /* 560x560, capacity gauge, cell k = k percent */
extern const guint8 transfer_dir_e[]; /* 16x16, export */
extern const guint8 transfer_dir_ed[]; /* 16x16, export, source deleted */
extern const guint8 transfer_dir_i[]; /* 16x16, import */
extern const guint8 transfer_dir_id[]; /* 16x16, import, source deleted */
extern const guint8 transfer_state_pending[]; /* 16x16, transfer job pending */
extern const guint8 transfer_state_started[]; /* 16x16, transfer job started */
extern const guint8 transfer_state_done[]; /* 16x16, transfer job done */
extern const guint8 transfer_state_error[]; /* 16x16, transfer job error */
extern const guint8 transfer_state_cancel[]; /* 16x16, transfer job cancel */
extern const guint8 transcoder_state_pending[]; /* 16x16, transcoder job pending */
extern const guint8 transcoder_state_started[]; /* 16x16, transcoder job started */
extern const guint8 transcoder_state_done[]; /* 16x16, transcoder job done */
extern const guint8 transcoder_state_error[]; /* 16x16, transcoder job error */
extern const guint8 transcoder_state_cancel[]; /* 16x16, transcoder job cancel */
extern const guint8 transfer_refresh[]; /* 24x24, transfer list: refresh */
extern const guint8 transfer_restart[]; /* 24x24, transfer list: restart */
extern const guint8 transfer_delete[]; /* 24x24, transfer list: delete */
extern const guint8 transfer_cancel[]; /* 24x24, transfer list: cancel */
extern const guint8 transcoder_refresh[]; /* 24x24, transcoder list: refresh */
extern const guint8 transcoder_restart[]; /* 24x24, transcoder list: restart */
extern const guint8 transcoder_delete[]; /* 24x24, transcoder list: delete */
extern const guint8 transcoder_cancel[]; /* 24x24, transcoder list: cancel */
extern const guint8 subclip_goto_markin[]; /* 24x24, go to mark in */
extern const guint8 subclip_goto_markout[]; /* 24x24, go to mark out */
extern const guint8 subclip_markin[]; /* 24x24, set mark in */
extern const guint8 subclip_markout[]; /* 24x24, set mark out */
extern const guint8 subclip_one_sec_minus[]; /* 24x24, one second back */
extern const guint8 subclip_one_sec_plus[]; /* 24x24, one second forward */
extern const guint8 subclip_play[]; /* 24x24, play */
extern const guint8 subclip_pause[]; /* 24x24, pause */
extern const guint8 subclip_speed_down[]; /* 24x24, faster backwards */
extern const guint8 subclip_speed_up[]; /* 24x24, faster forwards */
extern const guint8 subclip_step_back[]; /* 24x24, one frame back */
extern const guint8 subclip_step_forward[]; /* 24x24, one frame forward */
extern const guint8 subclip_edit_new_image_inline[]; /* 24x24, add as new subclip */
extern const guint8 subclip_edit_update_image_inline[]; /* 24x24, save subclip */
extern const guint8 subclip_edit_undo_image_inline[]; /* 24x24, undo subclip */
extern const guint8 subclip_edit_delete_image_inline[]; /* 24x24, delete subclip */
extern const guint8 settings_amap_presets_image[]; /* 16x16, channel map presets */
extern const guint8 inline_pelmora_io_preview_audio_pairs_button[]; /* 76x70, audio pair buttons: 4 states x 5 styles */
