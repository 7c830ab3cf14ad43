/* Draws every built-in image of the program with cairo and writes their data
 * (serialized GdkPixbuf, RGBA) as ui_images_data.{h,cpp}, which the build
 * compiles into the ui_images module; optionally also the logo as a PNG for
 * the pixmap directory.
 *   gen_images <data dir> [<logo png>]
 * The build runs it whenever this file changes; nothing it writes is kept in
 * the source tree except the logo PNG (target pelmora_logo_png). */
#include <cairo.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace {

/* ------------------------------------------------------------------ colours */

struct rgb
{
    double r, g, b;
};

rgb hex(unsigned v)
{
    return {((v >> 16) & 0xff) / 255.0, ((v >> 8) & 0xff) / 255.0, (v & 0xff) / 255.0};
}

rgb mix(rgb a, rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

const rgb WHITE = hex(0xffffff);
const rgb INK = hex(0x2b2f36); /* outlines and dark glyphs */
const rgb GREY = hex(0x8a919c);
const rgb LIGHT = hex(0xe9ecf1);
const rgb PAPER = hex(0xfbfcfe);
const rgb BLUE = hex(0x2f6fd1);
const rgb BLUE_D = hex(0x1d4b99);
const rgb GREEN = hex(0x35a846);
const rgb GREEN_D = hex(0x22742f);
const rgb RED = hex(0xd8372c);
const rgb RED_D = hex(0x99231b);
const rgb ORANGE = hex(0xef8c1f);
const rgb ORANGE_D = hex(0xa85e0e);
const rgb YELLOW = hex(0xf2c521);
const rgb YELLOW_D = hex(0xa8860c);
const rgb PURPLE = hex(0x8248c9);
const rgb PURPLE_D = hex(0x57308a);
const rgb FOLDER = hex(0xf3c04a);
const rgb FOLDER_D = hex(0xb9862a);

void set(cairo_t *cr, rgb c, double a = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, a);
}

/* --------------------------------------------------------------- primitives */

void rrect(cairo_t *cr, double x, double y, double w, double h, double r)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void fill_stroke(cairo_t *cr, rgb fill, rgb line, double lw)
{
    set(cr, fill);
    cairo_fill_preserve(cr);
    set(cr, line);
    cairo_set_line_width(cr, lw);
    cairo_stroke(cr);
}

/* A disc with a darker rim and a soft top highlight. */
void badge(cairo_t *cr, double cx, double cy, double r, rgb fill, rgb rim)
{
    cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, cy - r, 0, cy + r);
    rgb top = mix(fill, WHITE, 0.25);
    cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, fill.r, fill.g, fill.b);
    cairo_set_source(cr, p);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(p);
    set(cr, rim);
    cairo_set_line_width(cr, r > 9 ? 1.5 : 1.0);
    cairo_stroke(cr);
}

/* A rounded square tile with a vertical gradient. */
void tile(cairo_t *cr, double x, double y, double w, double h, double r, rgb fill, rgb rim)
{
    rrect(cr, x, y, w, h, r);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, y, 0, y + h);
    rgb top = mix(fill, WHITE, 0.22);
    cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, fill.r, fill.g, fill.b);
    cairo_set_source(cr, p);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(p);
    set(cr, rim);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

void line(cairo_t *cr, double x1, double y1, double x2, double y2, double lw, rgb c)
{
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, x2, y2);
    cairo_set_line_width(cr, lw);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    set(cr, c);
    cairo_stroke(cr);
}

void triangle(cairo_t *cr, double x1, double y1, double x2, double y2, double x3, double y3, rgb c)
{
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, x2, y2);
    cairo_line_to(cr, x3, y3);
    cairo_close_path(cr);
    set(cr, c);
    cairo_fill(cr);
}

/* Right-pointing play triangle centred on (cx, cy) with height s. */
void play(cairo_t *cr, double cx, double cy, double s, rgb c)
{
    double w = s * 0.87;
    triangle(cr, cx - w / 2 + s * 0.08, cy - s / 2, cx + w / 2 + s * 0.08, cy, cx - w / 2 + s * 0.08, cy + s / 2, c);
}

void play_left(cairo_t *cr, double cx, double cy, double s, rgb c)
{
    double w = s * 0.87;
    triangle(cr, cx + w / 2 - s * 0.08, cy - s / 2, cx - w / 2 - s * 0.08, cy, cx + w / 2 - s * 0.08, cy + s / 2, c);
}

void check(cairo_t *cr, double cx, double cy, double s, double lw, rgb c)
{
    cairo_move_to(cr, cx - s * 0.5, cy);
    cairo_line_to(cr, cx - s * 0.15, cy + s * 0.35);
    cairo_line_to(cr, cx + s * 0.5, cy - s * 0.35);
    cairo_set_line_width(cr, lw);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    set(cr, c);
    cairo_stroke(cr);
}

void cross(cairo_t *cr, double cx, double cy, double s, double lw, rgb c)
{
    line(cr, cx - s / 2, cy - s / 2, cx + s / 2, cy + s / 2, lw, c);
    line(cr, cx + s / 2, cy - s / 2, cx - s / 2, cy + s / 2, lw, c);
}

void plus(cairo_t *cr, double cx, double cy, double s, double lw, rgb c)
{
    line(cr, cx - s / 2, cy, cx + s / 2, cy, lw, c);
    line(cr, cx, cy - s / 2, cx, cy + s / 2, lw, c);
}

/* A small round badge carrying a plus, a cross or a minus. */
enum mark
{
    MARK_PLUS,
    MARK_CROSS,
    MARK_MINUS,
    MARK_CHECK
};
void mark_badge(cairo_t *cr, double cx, double cy, double r, mark m)
{
    rgb f = m == MARK_PLUS || m == MARK_CHECK ? GREEN : RED;
    rgb d = m == MARK_PLUS || m == MARK_CHECK ? GREEN_D : RED_D;
    badge(cr, cx, cy, r, f, d);
    double lw = r > 5 ? 2.0 : 1.5;
    switch (m) {
    case MARK_PLUS:
        plus(cr, cx, cy, r * 1.15, lw, WHITE);
        break;
    case MARK_CROSS:
        cross(cr, cx, cy, r * 0.9, lw, WHITE);
        break;
    case MARK_MINUS:
        line(cr, cx - r * 0.58, cy, cx + r * 0.58, cy, lw, WHITE);
        break;
    case MARK_CHECK:
        check(cr, cx, cy, r * 1.1, lw, WHITE);
        break;
    }
}

/* Thick arrow from (x1,y1) to (x2,y2) with a filled head. */
void arrow(cairo_t *cr, double x1, double y1, double x2, double y2, double lw, double head, rgb c)
{
    double dx = x2 - x1, dy = y2 - y1, len = sqrt(dx * dx + dy * dy);
    double ux = dx / len, uy = dy / len;
    double bx = x2 - ux * head, by = y2 - uy * head;
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, bx + ux * 0.5, by + uy * 0.5);
    cairo_set_line_width(cr, lw);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    set(cr, c);
    cairo_stroke(cr);
    double px = -uy, py = ux, hw = head * 0.75;
    triangle(cr, x2, y2, bx + px * hw, by + py * hw, bx - px * hw, by - py * hw, c);
}

/* A page with a folded corner. */
void page(cairo_t *cr, double x, double y, double w, double h, double fold)
{
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + w - fold, y);
    cairo_line_to(cr, x + w, y + fold);
    cairo_line_to(cr, x + w, y + h);
    cairo_line_to(cr, x, y + h);
    cairo_close_path(cr);
    fill_stroke(cr, PAPER, INK, 1.0);
    cairo_move_to(cr, x + w - fold, y);
    cairo_line_to(cr, x + w - fold, y + fold);
    cairo_line_to(cr, x + w, y + fold);
    set(cr, LIGHT);
    cairo_fill_preserve(cr);
    set(cr, INK);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

/* Text lines on a page. */
void page_lines(cairo_t *cr, double x, double y, double w, int n, double step, rgb c)
{
    for (int i = 0; i < n; i++)
        line(cr, x, y + i * step, x + w * (i % 3 == 2 ? 0.65 : 1.0), y + i * step, 1.0, c);
}

void folder(cairo_t *cr, double x, double y, double w, double h, rgb fill, rgb rim)
{
    double tab = w * 0.4, th = h * 0.16;
    cairo_move_to(cr, x, y + th);
    cairo_line_to(cr, x + 1, y);
    cairo_line_to(cr, x + tab - 1, y);
    cairo_line_to(cr, x + tab + th * 0.8, y + th);
    cairo_close_path(cr);
    fill_stroke(cr, mix(fill, rim, 0.35), rim, 1.0);
    rrect(cr, x, y + th, w, h - th, 1.5);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, y + th, 0, y + h);
    rgb top = mix(fill, WHITE, 0.3);
    cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, fill.r, fill.g, fill.b);
    cairo_set_source(cr, p);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(p);
    set(cr, rim);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

/* A strip of film: dark band with sprocket holes and a lighter picture. */
void film(cairo_t *cr, double x, double y, double w, double h, rgb picture)
{
    rrect(cr, x, y, w, h, 1.5);
    set(cr, INK);
    cairo_fill(cr);
    double hole = h * 0.13, margin = h * 0.08;
    int n = (int)(w / (hole * 2.2));
    double step = w / n;
    for (int i = 0; i < n; i++) {
        double hx = x + step * i + (step - hole) / 2;
        cairo_rectangle(cr, hx, y + margin, hole, hole);
        cairo_rectangle(cr, hx, y + h - margin - hole, hole, hole);
    }
    set(cr, WHITE);
    cairo_fill(cr);
    double py = y + margin * 2 + hole, ph = h - 2 * (margin * 2 + hole);
    cairo_rectangle(cr, x + 2, py, w - 4, ph);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, py, 0, py + ph);
    rgb top = mix(picture, WHITE, 0.45);
    cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, picture.r, picture.g, picture.b);
    cairo_set_source(cr, p);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
    set(cr, INK);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, x + w / 2, py);
    cairo_line_to(cr, x + w / 2, py + ph);
    cairo_stroke(cr);
}

void floppy(cairo_t *cr, double x, double y, double s, rgb body)
{
    double c = s * 0.18;
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + s - c, y);
    cairo_line_to(cr, x + s, y + c);
    cairo_line_to(cr, x + s, y + s);
    cairo_line_to(cr, x, y + s);
    cairo_close_path(cr);
    fill_stroke(cr, body, mix(body, INK, 0.6), 1.0);
    cairo_rectangle(cr, x + s * 0.25, y + 0.5, s * 0.45, s * 0.3);
    set(cr, LIGHT);
    cairo_fill(cr);
    cairo_rectangle(cr, x + s * 0.52, y + s * 0.06, s * 0.1, s * 0.18);
    set(cr, INK);
    cairo_fill(cr);
    rrect(cr, x + s * 0.16, y + s * 0.52, s * 0.68, s * 0.42, 1);
    set(cr, PAPER);
    cairo_fill(cr);
    line(cr, x + s * 0.26, y + s * 0.66, x + s * 0.74, y + s * 0.66, 1, GREY);
    line(cr, x + s * 0.26, y + s * 0.8, x + s * 0.74, y + s * 0.8, 1, GREY);
}

void trash(cairo_t *cr, double x, double y, double w, double h)
{
    double lid = h * 0.16;
    rrect(cr, x + w * 0.35, y, w * 0.3, lid, 1);
    fill_stroke(cr, GREY, INK, 1);
    rrect(cr, x, y + lid, w, lid * 0.9, 1);
    fill_stroke(cr, mix(GREY, WHITE, 0.3), INK, 1);
    cairo_move_to(cr, x + w * 0.1, y + lid * 1.9);
    cairo_line_to(cr, x + w * 0.9, y + lid * 1.9);
    cairo_line_to(cr, x + w * 0.82, y + h);
    cairo_line_to(cr, x + w * 0.18, y + h);
    cairo_close_path(cr);
    fill_stroke(cr, mix(GREY, WHITE, 0.45), INK, 1);
    for (int i = 1; i <= 3; i++) {
        double lx = x + w * (0.18 + 0.16 * i);
        line(cr, lx, y + lid * 2.6, lx, y + h - lid * 0.7, 1, GREY);
    }
}

void magnifier(cairo_t *cr, double cx, double cy, double r, double lw)
{
    cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
    set(cr, hex(0xdcecff));
    cairo_fill_preserve(cr);
    set(cr, INK);
    cairo_set_line_width(cr, lw);
    cairo_stroke(cr);
    double d = r * 0.72;
    line(cr, cx + d + lw * 0.3, cy + d + lw * 0.3, cx + r * 1.9, cy + r * 1.9, lw * 1.6, INK);
    cairo_arc(cr, cx - r * 0.3, cy - r * 0.3, r * 0.35, M_PI, 1.5 * M_PI);
    cairo_set_line_width(cr, 1);
    set(cr, WHITE);
    cairo_stroke(cr);
}

void pencil(cairo_t *cr, double x1, double y1, double x2, double y2, double wdt)
{
    double dx = x2 - x1, dy = y2 - y1, len = sqrt(dx * dx + dy * dy);
    double ux = dx / len, uy = dy / len, px = -uy * wdt / 2, py = ux * wdt / 2;
    double tip = wdt * 1.3;
    double bx = x2 - ux * tip, by = y2 - uy * tip;
    /* body */
    cairo_move_to(cr, x1 + px, y1 + py);
    cairo_line_to(cr, bx + px, by + py);
    cairo_line_to(cr, bx - px, by - py);
    cairo_line_to(cr, x1 - px, y1 - py);
    cairo_close_path(cr);
    fill_stroke(cr, YELLOW, YELLOW_D, 1);
    /* eraser */
    double ex = x1 + ux * wdt * 0.8, ey = y1 + uy * wdt * 0.8;
    cairo_move_to(cr, x1 + px, y1 + py);
    cairo_line_to(cr, ex + px, ey + py);
    cairo_line_to(cr, ex - px, ey - py);
    cairo_line_to(cr, x1 - px, y1 - py);
    cairo_close_path(cr);
    fill_stroke(cr, hex(0xf08aa0), hex(0x9b4457), 1);
    /* wood tip and lead */
    cairo_move_to(cr, bx + px, by + py);
    cairo_line_to(cr, x2, y2);
    cairo_line_to(cr, bx - px, by - py);
    cairo_close_path(cr);
    fill_stroke(cr, hex(0xf3d9a8), hex(0x9c7a43), 1);
    double lx = x2 - ux * tip * 0.35, ly = y2 - uy * tip * 0.35;
    triangle(cr, x2, y2, lx + px * 0.35, ly + py * 0.35, lx - px * 0.35, ly - py * 0.35, INK);
}

void gear(cairo_t *cr, double cx, double cy, double r, int teeth, rgb fill, rgb rim)
{
    double ri = r * 0.74;
    for (int i = 0; i < teeth * 2; i++) {
        double a0 = 2 * M_PI * i / (teeth * 2), a1 = 2 * M_PI * (i + 1) / (teeth * 2);
        double rr = (i % 2) ? ri : r;
        if (i == 0)
            cairo_move_to(cr, cx + rr * cos(a0), cy + rr * sin(a0));
        else
            cairo_line_to(cr, cx + rr * cos(a0), cy + rr * sin(a0));
        cairo_line_to(cr, cx + rr * cos(a1), cy + rr * sin(a1));
    }
    cairo_close_path(cr);
    cairo_new_sub_path(cr);
    cairo_arc_negative(cr, cx, cy, r * 0.32, 2 * M_PI, 0);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    fill_stroke(cr, fill, rim, 1);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
}

void clock_face(cairo_t *cr, double cx, double cy, double r, rgb rim, double h_angle, double m_angle)
{
    cairo_arc(cr, cx, cy, r, 0, 2 * M_PI);
    fill_stroke(cr, PAPER, rim, r > 7 ? 1.5 : 1.2);
    double lw = r > 7 ? 1.6 : 1.3;
    line(cr, cx, cy, cx + r * 0.5 * sin(h_angle), cy - r * 0.5 * cos(h_angle), lw, INK);
    line(cr, cx, cy, cx + r * 0.72 * sin(m_angle), cy - r * 0.72 * cos(m_angle), lw * 0.8, INK);
}

/* A circular arrow (refresh): an arc with a head at its end. */
void circular_arrow(cairo_t *cr, double cx, double cy, double r, double a0, double a1, double lw, rgb c)
{
    cairo_arc(cr, cx, cy, r, a0, a1);
    cairo_set_line_width(cr, lw);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    set(cr, c);
    cairo_stroke(cr);
    double ex = cx + r * cos(a1), ey = cy + r * sin(a1);
    double tx = -sin(a1), ty = cos(a1); /* tangent in the direction of travel */
    double nx = cos(a1), ny = sin(a1);
    double head = lw * 1.9;
    triangle(cr, ex + tx * head, ey + ty * head, ex + nx * head * 0.95, ey + ny * head * 0.95, ex - nx * head * 0.95,
             ey - ny * head * 0.95, c);
}

void monitor(cairo_t *cr, double x, double y, double w, double h, rgb screen)
{
    rrect(cr, x, y, w, h * 0.78, 1.5);
    fill_stroke(cr, INK, INK, 1);
    cairo_rectangle(cr, x + 2, y + 2, w - 4, h * 0.78 - 4);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, y, 0, y + h * 0.78);
    rgb top = mix(screen, WHITE, 0.4);
    cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(p, 1, screen.r, screen.g, screen.b);
    cairo_set_source(cr, p);
    cairo_fill(cr);
    cairo_pattern_destroy(p);
    cairo_rectangle(cr, x + w * 0.42, y + h * 0.78, w * 0.16, h * 0.12);
    set(cr, INK);
    cairo_fill(cr);
    rrect(cr, x + w * 0.26, y + h * 0.88, w * 0.48, h * 0.1, 1);
    set(cr, INK);
    cairo_fill(cr);
}

void speaker(cairo_t *cr, double x, double y, double s, rgb c)
{
    cairo_move_to(cr, x, y + s * 0.35);
    cairo_line_to(cr, x + s * 0.25, y + s * 0.35);
    cairo_line_to(cr, x + s * 0.55, y + s * 0.1);
    cairo_line_to(cr, x + s * 0.55, y + s * 0.9);
    cairo_line_to(cr, x + s * 0.25, y + s * 0.65);
    cairo_line_to(cr, x, y + s * 0.65);
    cairo_close_path(cr);
    set(cr, c);
    cairo_fill(cr);
}

void text_centered(cairo_t *cr, const char *t, double cx, double cy, double size, rgb c, bool bold = true)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t e;
    cairo_text_extents(cr, t, &e);
    cairo_move_to(cr, cx - e.width / 2 - e.x_bearing, cy - e.height / 2 - e.y_bearing);
    set(cr, c);
    cairo_show_text(cr, t);
}

/* Horizontal list rows (an event list), optionally with one highlighted. */
void list_rows(cairo_t *cr, double x, double y, double w, int n, double step, int hi, rgb hic)
{
    for (int i = 0; i < n; i++) {
        double ry = y + i * step;
        cairo_rectangle(cr, x, ry, w, step - 1.5);
        set(cr, i == hi ? hic : (i % 2 ? LIGHT : PAPER));
        cairo_fill_preserve(cr);
        set(cr, GREY);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
    }
}

/* -------------------------------------------------------------------- logo */

/* The program's mark: a deep blue rounded square with a white play triangle
 * and an amber running bar (the playout list) under it. */
void draw_logo(cairo_t *cr, int s)
{
    double m = s >= 32 ? s * 0.04 : 0.5;
    double r = s * 0.2;
    rrect(cr, m, m, s - 2 * m, s - 2 * m, r);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, 0, s, s);
    cairo_pattern_add_color_stop_rgb(p, 0, 0.20, 0.45, 0.92);
    cairo_pattern_add_color_stop_rgb(p, 1, 0.08, 0.19, 0.52);
    cairo_set_source(cr, p);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(p);
    set(cr, hex(0x0d1f4d));
    cairo_set_line_width(cr, s >= 32 ? s / 32.0 : 1.0);
    cairo_stroke(cr);
    if (s >= 32) {
        /* soft gloss on the upper half */
        rrect(cr, m + s * 0.06, m + s * 0.05, s - 2 * m - s * 0.12, s * 0.38, r * 0.8);
        set(cr, WHITE, 0.12);
        cairo_fill(cr);
    }
    double cx = s * 0.5, cy = s * (s >= 32 ? 0.42 : 0.4);
    if (s >= 32)
        play(cr, cx, cy, s * 0.44, WHITE);
    else
        triangle(cr, 5.5, 2.5, 12, 6.5, 5.5, 10.5, WHITE);
    double by = s * (s >= 32 ? 0.76 : 0.78), bh = s >= 32 ? s * 0.08 : 2;
    double bx = s * 0.2, bw = s * 0.6;
    if (s < 32) {
        by = floor(by);
        bx = 3;
        bw = s - 6;
    }
    rrect(cr, bx, by, bw, bh, bh / 2);
    set(cr, WHITE, 0.35);
    cairo_fill(cr);
    rrect(cr, bx, by, bw * 0.62, bh, bh / 2);
    set(cr, hex(0xffb23e));
    cairo_fill(cr);
}

/* ------------------------------------------------------------------ status */

void draw_status(cairo_t *cr, int kind)
{
    /* 16 x 16: grey ring (offline), amber pause (online, paused), green play
     * (online, playing). */
    if (kind == 0) {
        badge(cr, 8, 8, 6.5, hex(0xb7bcc4), hex(0x5d636d));
        line(cr, 5.2, 5.2, 10.8, 10.8, 2.0, hex(0x5d636d));
        return;
    }
    if (kind == 1) {
        badge(cr, 8, 8, 6.5, YELLOW, YELLOW_D);
        cairo_rectangle(cr, 5.5, 4.8, 1.8, 6.4);
        cairo_rectangle(cr, 8.7, 4.8, 1.8, 6.4);
        set(cr, INK);
        cairo_fill(cr);
        return;
    }
    badge(cr, 8, 8, 6.5, GREEN, GREEN_D);
    play(cr, 8.3, 8, 6.6, WHITE);
}

/* ------------------------------------------------------------- start types */

void draw_start_type(cairo_t *cr, int kind)
{
    /* 16 x 16 tiles of one shape, told apart by colour and sign */
    switch (kind) {
    case 0: /* follow: runs on from the event above */
        tile(cr, 1.5, 1.5, 13, 13, 3, BLUE, BLUE_D);
        arrow(cr, 8, 3.5, 8, 12.8, 2.2, 4.6, WHITE);
        break;
    case 1: /* manual: waits for the operator */
        tile(cr, 1.5, 1.5, 13, 13, 3, ORANGE, ORANGE_D);
        text_centered(cr, "M", 8, 8.2, 9.5, WHITE);
        break;
    case 2: /* fixed time: a clock */
        tile(cr, 1.5, 1.5, 13, 13, 3, PURPLE, PURPLE_D);
        cairo_arc(cr, 8, 8, 4.6, 0, 2 * M_PI);
        set(cr, WHITE);
        cairo_set_line_width(cr, 1.4);
        cairo_stroke(cr);
        line(cr, 8, 8, 8, 5, 1.3, WHITE);
        line(cr, 8, 8, 10.2, 8, 1.3, WHITE);
        break;
    case 3: { /* gap fill: brackets with a dotted filling */
        tile(cr, 1.5, 1.5, 13, 13, 3, GREEN, GREEN_D);
        cairo_set_line_width(cr, 1.4);
        set(cr, WHITE);
        cairo_move_to(cr, 6, 4.5);
        cairo_line_to(cr, 4.5, 4.5);
        cairo_line_to(cr, 4.5, 11.5);
        cairo_line_to(cr, 6, 11.5);
        cairo_move_to(cr, 10, 4.5);
        cairo_line_to(cr, 11.5, 4.5);
        cairo_line_to(cr, 11.5, 11.5);
        cairo_line_to(cr, 10, 11.5);
        cairo_stroke(cr);
        for (int i = 0; i < 2; i++) {
            cairo_arc(cr, 6.9 + i * 2.2, 8, 0.9, 0, 2 * M_PI);
            cairo_fill(cr);
        }
        break;
    }
    }
}

/* ------------------------------------------------------------ bus buttons */

/* Library usage counters (24): a film clip with a state badge. */
void draw_usage(cairo_t *cr, int kind)
{
    film(cr, 1, 3, 18, 14, hex(0x7da7d9));
    switch (kind) {
    case 0: /* absent: red badge with a cross */
        mark_badge(cr, 17, 17, 6, MARK_MINUS);
        break;
    case 1: { /* error: red warning triangle */
        cairo_move_to(cr, 17, 10);
        cairo_line_to(cr, 23.3, 22.5);
        cairo_line_to(cr, 10.7, 22.5);
        cairo_close_path(cr);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        fill_stroke(cr, RED, RED_D, 1);
        line(cr, 17, 14, 17, 18.3, 2, WHITE);
        cairo_arc(cr, 17, 20.5, 1.1, 0, 2 * M_PI);
        set(cr, WHITE);
        cairo_fill(cr);
        break;
    }
    case 2: /* checking: amber clock */
        cairo_arc(cr, 17, 17, 6, 0, 2 * M_PI);
        fill_stroke(cr, YELLOW, YELLOW_D, 1);
        line(cr, 17, 17, 17, 13, 1.6, INK);
        line(cr, 17, 17, 19.8, 18.2, 1.6, INK);
        break;
    case 3: /* present: green check */
        mark_badge(cr, 17, 17, 6, MARK_CHECK);
        break;
    }
}

/* Event list with a badge: add, delete, edit (32). */
void draw_item(cairo_t *cr, int kind)
{
    list_rows(cr, 2, 4, 24, 5, 5, 2, hex(0xbcd6f7));
    if (kind == 0)
        mark_badge(cr, 23.5, 23.5, 7.5, MARK_PLUS);
    else if (kind == 1)
        mark_badge(cr, 23.5, 23.5, 7.5, MARK_CROSS);
    else
        pencil(cr, 13, 29, 29.5, 12.5, 5.5);
}

void draw_item_preview(cairo_t *cr)
{
    monitor(cr, 2, 4, 28, 25, hex(0x3b4a63));
    play(cr, 16.3, 14, 9, WHITE);
}

void draw_channel(cairo_t *cr, bool start)
{
    if (start) {
        badge(cr, 16, 16, 13.5, GREEN, GREEN_D);
        play(cr, 16.6, 16, 14, WHITE);
    } else {
        badge(cr, 16, 16, 13.5, RED, RED_D);
        rrect(cr, 10, 10, 12, 12, 1.5);
        set(cr, WHITE);
        cairo_fill(cr);
    }
}

void draw_help(cairo_t *cr)
{
    badge(cr, 16, 16, 13.5, BLUE, BLUE_D);
    text_centered(cr, "?", 16, 16.5, 19, WHITE);
}

void draw_company(cairo_t *cr)
{
    /* the maker's mark: three ascending bars in a ring */
    cairo_arc(cr, 16, 16, 13.5, 0, 2 * M_PI);
    fill_stroke(cr, PAPER, hex(0x0d1f4d), 2);
    rgb c[3] = {hex(0x2f6fd1), hex(0x1e9c8a), hex(0xef8c1f)};
    for (int i = 0; i < 3; i++) {
        double h = 6 + i * 4;
        rrect(cr, 8.5 + i * 5.5, 23 - h, 4, h, 1);
        set(cr, c[i]);
        cairo_fill(cr);
    }
}

/* Playlist file operations (32): a schedule page with an action. */
void schedule_page(cairo_t *cr, double x, double y)
{
    page(cr, x, y, 19, 24, 6);
    page_lines(cr, x + 3.5, y + 9.5, 11, 4, 3.5, GREY);
}

void draw_list_open(cairo_t *cr)
{
    schedule_page(cr, 9, 2);
    folder(cr, 2, 13, 22, 16, FOLDER, FOLDER_D);
    arrow(cr, 26, 28, 26, 17, 3, 5, GREEN);
}

void draw_list_close(cairo_t *cr)
{
    schedule_page(cr, 4, 3);
    mark_badge(cr, 23.5, 23.5, 7.5, MARK_CROSS);
}

void draw_list_append(cairo_t *cr)
{
    schedule_page(cr, 4, 3);
    mark_badge(cr, 23.5, 23.5, 7.5, MARK_PLUS);
}

void draw_list_truncate(cairo_t *cr, bool above)
{
    /* Rows with the ones on one side of the selected row struck through. */
    for (int i = 0; i < 5; i++) {
        double y = 3 + i * 5.4;
        bool sel = i == 2;
        bool gone = above ? i < 2 : i > 2;
        cairo_rectangle(cr, 2.5, y + 0.5, 18, 4);
        set(cr, sel ? hex(0xbcd6f7) : gone ? hex(0xf6d5d2) : PAPER);
        cairo_fill_preserve(cr);
        set(cr, sel ? BLUE_D : GREY);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        if (gone)
            line(cr, 4, y + 2.5, 19, y + 2.5, 1.2, RED);
    }
    double y0 = above ? 13 : 19;
    line(cr, 1, y0 + (above ? -1.2 : 0.8), 22, y0 + (above ? -1.2 : 0.8), 1.2, RED_D);
    arrow(cr, 27, above ? 14 : 18, 27, above ? 3 : 29, 2.6, 4.5, RED);
}

void draw_list_saveas(cairo_t *cr)
{
    floppy(cr, 3, 3, 22, BLUE);
    pencil(cr, 16, 30, 30, 16, 5);
}

/* Channel controls (48). */
void draw_take(cairo_t *cr)
{
    badge(cr, 24, 24, 21, GREEN, GREEN_D);
    play(cr, 21.5, 24, 20, WHITE);
    rrect(cr, 31, 14, 4.5, 20, 1);
    set(cr, WHITE);
    cairo_fill(cr);
}

void draw_take_n(cairo_t *cr)
{
    badge(cr, 24, 24, 21, BLUE, BLUE_D);
    /* a jump: arc arrow over rows to a target row */
    for (int i = 0; i < 3; i++) {
        rrect(cr, 23, 13 + i * 8, 13, 5, 1.5);
        set(cr, i == 2 ? YELLOW : WHITE, i == 2 ? 1.0 : 0.85);
        cairo_fill(cr);
    }
    cairo_move_to(cr, 20, 15.5);
    cairo_curve_to(cr, 9, 15.5, 9, 31.5, 17, 31.5);
    cairo_set_line_width(cr, 3);
    set(cr, WHITE);
    cairo_stroke(cr);
    triangle(cr, 22, 31.5, 16, 27, 16, 36, WHITE);
}

void draw_fallback(cairo_t *cr)
{
    badge(cr, 24, 24, 21, ORANGE, ORANGE_D);
    circular_arrow(cr, 24, 24, 10.5, -0.2 * M_PI, 1.35 * M_PI, 3.6, WHITE);
}

/* Trim and pad (24): a bar with arrows in or out. */
void draw_trimpad(cairo_t *cr, bool pad)
{
    rrect(cr, 7, 8, 10, 8, 1.5);
    fill_stroke(cr, hex(0xbcd6f7), BLUE_D, 1);
    line(cr, 3, 5, 3, 19, 1.5, INK);
    line(cr, 21, 5, 21, 19, 1.5, INK);
    if (pad) {
        arrow(cr, 9, 12, 1.5, 12, 2, 3.5, GREEN);
        arrow(cr, 15, 12, 22.5, 12, 2, 3.5, GREEN);
    } else {
        arrow(cr, 0.5, 12, 7.5, 12, 2, 3.5, RED);
        arrow(cr, 23.5, 12, 16.5, 12, 2, 3.5, RED);
    }
}

/* Preview strip show and hide (24): a screen with a chevron. */
void draw_preview_toggle(cairo_t *cr, bool show)
{
    monitor(cr, 1, 2, 16, 14, hex(0x3b4a63));
    double cx = 18, cy = show ? 17 : 18;
    cairo_arc(cr, cx, cy, 5.5, 0, 2 * M_PI);
    fill_stroke(cr, show ? GREEN : GREY, show ? GREEN_D : hex(0x5d636d), 1);
    cairo_set_line_width(cr, 1.8);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    set(cr, WHITE);
    if (show) { /* chevron down: unfold */
        cairo_move_to(cr, cx - 3, cy - 1.3);
        cairo_line_to(cr, cx, cy + 1.7);
        cairo_line_to(cr, cx + 3, cy - 1.3);
    } else { /* chevron up: fold */
        cairo_move_to(cr, cx - 3, cy + 1.3);
        cairo_line_to(cr, cx, cy - 1.7);
        cairo_line_to(cr, cx + 3, cy + 1.3);
    }
    cairo_stroke(cr);
}

/* Item dialog (24): audio channel map and audio gain. */
void draw_audio_map(cairo_t *cr)
{
    /* a 4 x 4 routing matrix, inputs across, outputs down */
    rrect(cr, 1.5, 1.5, 21, 21, 2.5);
    fill_stroke(cr, PAPER, INK, 1);
    int map[4] = {1, 0, 3, 2};
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            rrect(cr, 4 + c * 4.3, 4 + r * 4.3, 3.3, 3.3, 0.6);
            bool on = map[r] == c;
            set(cr, on ? (r < 2 ? BLUE : GREEN) : LIGHT);
            cairo_fill_preserve(cr);
            set(cr, on ? (r < 2 ? BLUE_D : GREEN_D) : hex(0xc5cad2));
            cairo_set_line_width(cr, 0.8);
            cairo_stroke(cr);
        }
}

void draw_audio_amp(cairo_t *cr)
{
    speaker(cr, 1, 5, 14, INK);
    for (int i = 0; i < 3; i++) {
        double h = 6 + i * 5;
        rrect(cr, 13 + i * 3.6, 21.5 - h, 2.6, h, 0.8);
        set(cr, i == 2 ? ORANGE : GREEN);
        cairo_fill(cr);
    }
}

/* ------------------------------------------------------------- meta tree */

void draw_metatree(cairo_t *cr, int kind)
{
    switch (kind) {
    case 0: /* ASSETS: stacked layers */
        for (int i = 2; i >= 0; i--) {
            double y = 3 + i * 3.5;
            cairo_move_to(cr, 8, y);
            cairo_line_to(cr, 14.5, y + 3);
            cairo_line_to(cr, 8, y + 6);
            cairo_line_to(cr, 1.5, y + 3);
            cairo_close_path(cr);
            fill_stroke(cr, i == 0 ? hex(0x6fa0e8) : i == 1 ? BLUE : BLUE_D, hex(0x0d2a5c), 1);
        }
        break;
    case 1: /* GLOBAL VARS: a globe */
        cairo_arc(cr, 8, 8, 6.5, 0, 2 * M_PI);
        fill_stroke(cr, hex(0x53b86a), GREEN_D, 1.2);
        cairo_save(cr);
        cairo_translate(cr, 8, 8);
        cairo_scale(cr, 0.45, 1);
        cairo_arc(cr, 0, 0, 6.5, 0, 2 * M_PI);
        cairo_restore(cr);
        set(cr, WHITE, 0.9);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        line(cr, 1.5, 8, 14.5, 8, 1, hex(0xffffff));
        break;
    case 2:   /* a template variable: amber tag */
    case 3: { /* a global pair: green tag */
        rgb f = kind == 2 ? ORANGE : GREEN, d = kind == 2 ? ORANGE_D : GREEN_D;
        cairo_move_to(cr, 1.5, 4);
        cairo_line_to(cr, 10, 4);
        cairo_line_to(cr, 14.5, 8);
        cairo_line_to(cr, 10, 12);
        cairo_line_to(cr, 1.5, 12);
        cairo_close_path(cr);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        fill_stroke(cr, f, d, 1);
        cairo_arc(cr, 10.3, 8, 1.3, 0, 2 * M_PI);
        set(cr, WHITE);
        cairo_fill(cr);
        break;
    }
    case 4: /* a template: page with braces */
        page(cr, 2.5, 1.5, 11, 13, 3.5);
        text_centered(cr, "{}", 8, 9.3, 7.5, PURPLE);
        break;
    }
}

/* ---------------------------------------------------------------- library */

void draw_lib_folder(cairo_t *cr)
{
    folder(cr, 1.5, 3.5, 21, 17, FOLDER, FOLDER_D);
}

void draw_lib_clip(cairo_t *cr)
{
    film(cr, 1.5, 4.5, 21, 15, hex(0x7da7d9));
}

void draw_lib_subclip(cairo_t *cr)
{
    film(cr, 2, 6, 28, 20, hex(0x9fb4cc));
    /* the marked range: brackets and a highlighted span */
    cairo_rectangle(cr, 10, 9, 12, 14);
    set(cr, ORANGE, 0.55);
    cairo_fill(cr);
    cairo_set_line_width(cr, 2);
    set(cr, ORANGE_D);
    cairo_move_to(cr, 12, 3);
    cairo_line_to(cr, 9, 3);
    cairo_line_to(cr, 9, 29);
    cairo_line_to(cr, 12, 29);
    cairo_move_to(cr, 20, 3);
    cairo_line_to(cr, 23, 3);
    cairo_line_to(cr, 23, 29);
    cairo_line_to(cr, 20, 29);
    cairo_stroke(cr);
}

/* Library pane buttons (24). */
void draw_lib_button(cairo_t *cr, int kind)
{
    switch (kind) {
    case 0: /* rename: text field with a pencil */
        rrect(cr, 1.5, 7.5, 21, 9, 1.5);
        fill_stroke(cr, PAPER, INK, 1);
        text_centered(cr, "ab", 8, 12, 7, INK, false);
        pencil(cr, 12, 20, 22.5, 4.5, 4);
        break;
    case 1: /* delete: trash can with a red cross */
        trash(cr, 2, 2, 15, 20);
        mark_badge(cr, 17.5, 17.5, 5.5, MARK_CROSS);
        break;
    case 2: /* move: folder with an arrow */
        folder(cr, 1.5, 6.5, 16, 13, FOLDER, FOLDER_D);
        arrow(cr, 9, 13, 22.5, 13, 2.6, 5, BLUE);
        break;
    case 3: /* create directory: folder with a plus */
        folder(cr, 1.5, 4.5, 18, 14, FOLDER, FOLDER_D);
        mark_badge(cr, 17.5, 17.5, 5.5, MARK_PLUS);
        break;
    case 4: /* transfer list: list with two opposite arrows */
        list_rows(cr, 1.5, 2.5, 12, 4, 5, -1, PAPER);
        arrow(cr, 17, 21.5, 17, 4, 2.2, 4, GREEN);
        arrow(cr, 21.5, 3, 21.5, 21, 2.2, 4, BLUE);
        break;
    case 5: /* export: arrow leaving a box */
        rrect(cr, 2.5, 9.5, 14, 12, 1.5);
        fill_stroke(cr, hex(0xd9c49a), hex(0x8a6f3a), 1);
        arrow(cr, 9.5, 15, 21.5, 3, 2.6, 5, BLUE);
        break;
    case 6: /* transcoder list: list with a gear */
        list_rows(cr, 1.5, 2.5, 14, 4, 5, -1, PAPER);
        gear(cr, 17, 17, 6.3, 8, GREY, INK);
        break;
    case 7: /* transcode: film into a gear */
        film(cr, 1, 2, 15, 11, hex(0x7da7d9));
        gear(cr, 15.5, 16, 7.3, 8, hex(0xb5bcc6), INK);
        break;
    case 8: /* normalise audio: a waveform between level lines */
    {
        static const double amp[7] = {3, 5.5, 8, 6, 8, 4.5, 2.5};
        for (int i = 0; i < 7; i++) {
            double x = 2.5 + i * 3, a = amp[i];
            rrect(cr, x, 12 - a, 2.2, 2 * a, 1);
            set(cr, a >= 8 ? GREEN : BLUE);
            cairo_fill(cr);
        }
        static const double dash[1] = {2};
        cairo_set_dash(cr, dash, 1, 0);
        line(cr, 1, 3.5, 23, 3.5, 1.2, RED);
        line(cr, 1, 20.5, 23, 20.5, 1.2, RED);
        cairo_set_dash(cr, nullptr, 0, 0);
        break;
    }
    case 9: /* find */
        magnifier(cr, 9.5, 9.5, 6.5, 2);
        break;
    case 10: /* show library: chevrons pointing left (the pane opens leftwards) */
    case 11: /* hide library: chevrons pointing right */
    {
        rrect(cr, 1.5, 2.5, 21, 19, 2);
        fill_stroke(cr, LIGHT, GREY, 1);
        rrect(cr, kind == 10 ? 13.5 : 2.5, 3.5, 8, 17, 1.5);
        set(cr, hex(0xbcd6f7));
        cairo_fill(cr);
        double d = kind == 10 ? -1 : 1, cx = kind == 10 ? 8 : 16;
        cairo_set_line_width(cr, 2);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        set(cr, BLUE_D);
        for (int i = 0; i < 2; i++) {
            double ox = cx + d * (i * 4 - 2);
            cairo_move_to(cr, ox - d * 2.5, 8);
            cairo_line_to(cr, ox + d * 1.5, 12);
            cairo_line_to(cr, ox - d * 2.5, 16);
        }
        cairo_stroke(cr);
        break;
    }
    case 12: /* new subclip: a film with brackets and a plus */
        film(cr, 1, 3, 18, 13, hex(0x9fb4cc));
        cairo_rectangle(cr, 6, 5.5, 8, 8);
        set(cr, ORANGE, 0.6);
        cairo_fill(cr);
        mark_badge(cr, 17.5, 17.5, 5.5, MARK_PLUS);
        break;
    }
}

void draw_find_next(cairo_t *cr)
{
    /* 16: a magnifier with a small forward arrow */
    magnifier(cr, 6, 6, 4.3, 1.5);
    triangle(cr, 15.5, 12.5, 10.5, 9.5, 10.5, 15.5, GREEN_D);
}

/* Capacity gauge: a 10 x 10 grid of 56 x 56 cells, cell k for k percent. */
void draw_capacity(cairo_t *cr)
{
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE); /* flat cells keep the stored image small */
    for (int k = 0; k < 100; k++) {
        double x0 = (k % 10) * 56, y0 = (k / 10) * 56;
        /* a disk-usage bar: frame, used part coloured by level, tick marks */
        rgb c = k < 60 ? GREEN : k < 85 ? YELLOW : RED;
        rgb cd = k < 60 ? GREEN_D : k < 85 ? YELLOW_D : RED_D;
        cairo_rectangle(cr, x0 + 4, y0 + 8, 48, 22);
        set(cr, hex(0x5d636d));
        cairo_fill(cr);
        cairo_rectangle(cr, x0 + 6, y0 + 10, 44, 18);
        set(cr, hex(0xf1f3f6));
        cairo_fill(cr);
        int used = (int)floor(44 * k / 100.0 + 0.5);
        if (used) {
            cairo_rectangle(cr, x0 + 6, y0 + 10, used, 18);
            set(cr, c);
            cairo_fill(cr);
            cairo_rectangle(cr, x0 + 6, y0 + 10, used, 3);
            set(cr, mix(c, WHITE, 0.35));
            cairo_fill(cr);
            cairo_rectangle(cr, x0 + 6, y0 + 25, used, 3);
            set(cr, cd);
            cairo_fill(cr);
        }
        for (int t = 1; t < 4; t++) {
            cairo_rectangle(cr, x0 + 6 + t * 11, y0 + 28, 1, 3);
            set(cr, hex(0x5d636d));
            cairo_fill(cr);
        }
        char buf[8];
        snprintf(buf, sizeof(buf), "%d%%", k);
        text_centered(cr, buf, x0 + 28, y0 + 42, 11, INK);
    }
}

/* ------------------------------------------------------------- job lists */

void draw_transfer_dir(cairo_t *cr, bool import, bool del)
{
    /* 16: a box with an arrow leaving (export) or entering (import) it */
    rrect(cr, 1.5, 7.5, 10, 7, 1);
    fill_stroke(cr, hex(0xd9c49a), hex(0x8a6f3a), 1);
    if (import)
        arrow(cr, 14.5, 1.5, 7, 9, 2, 4, GREEN);
    else
        arrow(cr, 6.5, 9.5, 14.5, 1.5, 2, 4, BLUE);
    if (del)
        cross(cr, 12.5, 12.5, 4.5, 1.8, RED);
}

void draw_job_state(cairo_t *cr, int state, bool transcoder)
{
    /* 16: pending, started, done, error, cancelled */
    rgb accent = transcoder ? PURPLE : BLUE;
    switch (state) {
    case 0:
        clock_face(cr, 8, 8, 6.3, hex(0x5d636d), -M_PI / 3, 0);
        break;
    case 1:
        badge(cr, 8, 8, 6.5, accent, transcoder ? PURPLE_D : BLUE_D);
        play(cr, 8.3, 8, 6.6, WHITE);
        break;
    case 2:
        badge(cr, 8, 8, 6.5, GREEN, GREEN_D);
        check(cr, 8, 8.3, 7, 1.8, WHITE);
        break;
    case 3:
        badge(cr, 8, 8, 6.5, RED, RED_D);
        line(cr, 8, 4.3, 8, 8.8, 2, WHITE);
        cairo_arc(cr, 8, 11.4, 1.1, 0, 2 * M_PI);
        set(cr, WHITE);
        cairo_fill(cr);
        break;
    case 4:
        cairo_arc(cr, 8, 8, 5.8, 0, 2 * M_PI);
        set(cr, PAPER);
        cairo_fill_preserve(cr);
        set(cr, hex(0x5d636d));
        cairo_set_line_width(cr, 2);
        cairo_stroke(cr);
        line(cr, 4, 12, 12, 4, 2, hex(0x5d636d));
        break;
    }
}

void draw_job_button(cairo_t *cr, int kind, bool transcoder)
{
    /* 24: refresh, restart, delete, cancel */
    rgb accent = transcoder ? PURPLE : BLUE;
    switch (kind) {
    case 0:
        /* two half circles chasing each other */
        circular_arrow(cr, 12, 12, 7.5, 0.05 * M_PI, 0.78 * M_PI, 2.4, accent);
        circular_arrow(cr, 12, 12, 7.5, 1.05 * M_PI, 1.78 * M_PI, 2.4, accent);
        break;
    case 1:
        circular_arrow(cr, 12, 12, 8.5, -0.1 * M_PI, 1.45 * M_PI, 2.4, GREEN_D);
        play(cr, 12.4, 12, 8, GREEN);
        break;
    case 2:
        trash(cr, 4, 2, 16, 20);
        break;
    case 3:
        cairo_arc(cr, 12, 12, 8.5, 0, 2 * M_PI);
        set(cr, PAPER);
        cairo_fill_preserve(cr);
        set(cr, RED);
        cairo_set_line_width(cr, 3);
        cairo_stroke(cr);
        line(cr, 6.3, 17.7, 17.7, 6.3, 3, RED);
        break;
    }
}

/* ------------------------------------------------------- subclip editor */

void bracket(cairo_t *cr, double x, double y, double h, bool in, rgb c)
{
    double d = in ? 1 : -1;
    cairo_move_to(cr, x + d * 4, y);
    cairo_line_to(cr, x, y);
    cairo_line_to(cr, x, y + h);
    cairo_line_to(cr, x + d * 4, y + h);
    cairo_set_line_width(cr, 2.4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    set(cr, c);
    cairo_stroke(cr);
}

void draw_subclip(cairo_t *cr, int kind)
{
    /* 24 */
    switch (kind) {
    case 0: /* go to mark in: bracket with an arrow running to it */
        bracket(cr, 4, 3, 18, true, ORANGE_D);
        arrow(cr, 21.5, 12, 7.5, 12, 2.4, 5, BLUE);
        break;
    case 1: /* go to mark out */
        bracket(cr, 20, 3, 18, false, ORANGE_D);
        arrow(cr, 2.5, 12, 16.5, 12, 2.4, 5, BLUE);
        break;
    case 2: /* set mark in: bracket with a down arrow marking it */
        line(cr, 2, 20.5, 22, 20.5, 1.5, GREY);
        bracket(cr, 9, 9, 14, true, ORANGE);
        arrow(cr, 9, 1, 9, 8.5, 2.2, 4.5, RED);
        break;
    case 3: /* set mark out */
        line(cr, 2, 20.5, 22, 20.5, 1.5, GREY);
        bracket(cr, 15, 9, 14, false, ORANGE);
        arrow(cr, 15, 1, 15, 8.5, 2.2, 4.5, RED);
        break;
    case 4: /* one second back */
    case 5: /* one second forward */
        rrect(cr, 1.5, 4.5, 21, 15, 3);
        fill_stroke(cr, LIGHT, GREY, 1);
        text_centered(cr, kind == 4 ? "-1s" : "+1s", 12, 12, 9, kind == 4 ? RED_D : GREEN_D);
        break;
    case 6: /* play */
        play(cr, 12, 12, 16, GREEN);
        break;
    case 7: /* pause */
        rrect(cr, 6, 4, 4.5, 16, 1);
        rrect(cr, 13.5, 4, 4.5, 16, 1);
        set(cr, INK);
        cairo_fill(cr);
        break;
    case 8: /* faster backwards */
        play_left(cr, 8, 12, 12, BLUE);
        play_left(cr, 16, 12, 12, BLUE);
        break;
    case 9: /* faster forwards */
        play(cr, 8, 12, 12, BLUE);
        play(cr, 16, 12, 12, BLUE);
        break;
    case 10: /* one frame back */
        rrect(cr, 4, 5, 3, 14, 0.8);
        set(cr, INK);
        cairo_fill(cr);
        play_left(cr, 14, 12, 14, INK);
        break;
    case 11: /* one frame forward */
        rrect(cr, 17, 5, 3, 14, 0.8);
        set(cr, INK);
        cairo_fill(cr);
        play(cr, 10, 12, 14, INK);
        break;
    case 12: /* add as new subclip */
        film(cr, 1, 3, 18, 13, hex(0x9fb4cc));
        mark_badge(cr, 17.5, 17.5, 5.5, MARK_PLUS);
        break;
    case 13: /* save subclip */
        floppy(cr, 2.5, 2.5, 19, BLUE);
        break;
    case 14: /* undo */
        cairo_move_to(cr, 6, 20.5);
        cairo_line_to(cr, 13, 20.5);
        cairo_arc_negative(cr, 13, 13.5, 7, 0.5 * M_PI, -0.5 * M_PI);
        cairo_line_to(cr, 10, 6.5);
        cairo_set_line_width(cr, 2.8);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        set(cr, ORANGE_D);
        cairo_stroke(cr);
        triangle(cr, 2.5, 6.5, 10, 1.5, 10, 11.5, ORANGE_D);
        break;
    case 15: /* delete subclip */
        film(cr, 1, 3, 18, 13, hex(0x9fb4cc));
        mark_badge(cr, 17.5, 17.5, 5.5, MARK_CROSS);
        break;
    }
}

/* Settings: the channel map presets button (16). */
void draw_presets(cairo_t *cr)
{
    list_rows(cr, 1.5, 1.5, 9, 3, 4.5, 0, hex(0xbcd6f7));
    gear(cr, 11, 11, 4.8, 7, GREY, INK);
}

/* Preview audio pair buttons: one tile of 4 states (columns) x 5 styles
 * (rows); style 0 unlit, style i lit with the pair i. */
const int PAIR_W = 19, PAIR_H = 14;
void draw_audio_pairs(cairo_t *cr)
{
    const char *labels[5] = {"", "1", "2", "3", "4"};
    for (int style = 0; style < 5; style++)
        for (int state = 0; state < 4; state++) {
            double x = state * PAIR_W, y = style * PAIR_H;
            bool lit = style > 0;
            bool hover = state & 1, pressed = state & 2;
            rgb face = lit ? hex(0x2fa84a) : hex(0x4a4f57);
            if (hover)
                face = mix(face, WHITE, 0.2);
            if (pressed)
                face = mix(face, INK, 0.35);
            double off = state == 3 ? 1 : 0;
            rrect(cr, x + 1.5 + off * 0.5, y + 1.5 + off * 0.5, PAIR_W - 3, PAIR_H - 3, 2.5);
            cairo_pattern_t *p = cairo_pattern_create_linear(0, y + 1, 0, y + PAIR_H - 1);
            rgb top = pressed ? face : mix(face, WHITE, 0.25);
            rgb bottom = pressed ? mix(face, WHITE, 0.15) : face;
            cairo_pattern_add_color_stop_rgb(p, 0, top.r, top.g, top.b);
            cairo_pattern_add_color_stop_rgb(p, 1, bottom.r, bottom.g, bottom.b);
            cairo_set_source(cr, p);
            cairo_fill_preserve(cr);
            cairo_pattern_destroy(p);
            set(cr, hex(0x1b1e23));
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
            if (lit) {
                text_centered(cr, labels[style], x + PAIR_W / 2.0 + off * 0.5, y + PAIR_H / 2.0 + off * 0.5, 9, WHITE);
            } else {
                /* unlit: a small muted speaker */
                speaker(cr, x + 6 + off * 0.5, y + 3.5 + off * 0.5, 7, hex(0x9aa1ab));
            }
        }
}

/* ---------------------------------------------------------- serialization */

struct image_desc
{
    std::string name;
    int width, height;
    bool rle;
    std::string role;
    std::function<void(cairo_t *)> draw;
};

/* Un-premultiplied RGBA rows from cairo's premultiplied native ARGB. */
std::vector<uint8_t> rgba_of(cairo_surface_t *s, int w, int h)
{
    cairo_surface_flush(s);
    const unsigned char *data = cairo_image_surface_get_data(s);
    int stride = cairo_image_surface_get_stride(s);
    std::vector<uint8_t> out((size_t)w * h * 4);
    for (int y = 0; y < h; y++) {
        const uint32_t *row = (const uint32_t *)(data + (size_t)y * stride);
        for (int x = 0; x < w; x++) {
            uint32_t px = row[x];
            unsigned a = px >> 24, r = (px >> 16) & 0xff, g = (px >> 8) & 0xff, b = px & 0xff;
            uint8_t *o = &out[((size_t)y * w + x) * 4];
            if (a) {
                o[0] = (uint8_t)((r * 255 + a / 2) / a);
                o[1] = (uint8_t)((g * 255 + a / 2) / a);
                o[2] = (uint8_t)((b * 255 + a / 2) / a);
            } else {
                o[0] = o[1] = o[2] = 0;
            }
            o[3] = (uint8_t)a;
        }
    }
    return out;
}

void put32(std::vector<uint8_t> &v, uint32_t x)
{
    v.push_back(x >> 24);
    v.push_back((x >> 16) & 0xff);
    v.push_back((x >> 8) & 0xff);
    v.push_back(x & 0xff);
}

/* Run-length packets of the serialized format: a count byte with bit 7 set
 * followed by one pixel repeated, or a count byte followed by that many
 * literal pixels; counts 1 to 127. */
std::vector<uint8_t> rle_encode(const std::vector<uint8_t> &px)
{
    std::vector<uint8_t> out;
    size_t n = px.size() / 4, i = 0;
    auto same = [&](size_t a, size_t b) { return memcmp(&px[a * 4], &px[b * 4], 4) == 0; };
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 127 && same(i, i + run))
            run++;
        if (run >= 2) {
            out.push_back(0x80 | (uint8_t)run);
            out.insert(out.end(), &px[i * 4], &px[i * 4] + 4);
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < n && lit < 127 && !(i + lit + 1 < n && same(i + lit, i + lit + 1)))
            lit++;
        out.push_back((uint8_t)lit);
        out.insert(out.end(), &px[i * 4], &px[i * 4] + lit * 4);
        i += lit;
    }
    return out;
}

std::vector<uint8_t> serialize(const std::vector<uint8_t> &px, int w, int h, bool rle)
{
    const uint32_t MAGIC = 0x47646b50; /* "GdkP" */
    const uint32_t TYPE = 0x02 /* RGBA */ | (0x01 << 16) /* 8 bits */ | ((rle ? 0x02u : 0x01u) << 24);
    std::vector<uint8_t> body = rle ? rle_encode(px) : px;
    std::vector<uint8_t> out;
    put32(out, MAGIC);
    put32(out, (uint32_t)(24 + body.size()));
    put32(out, TYPE);
    put32(out, (uint32_t)w * 4);
    put32(out, (uint32_t)w);
    put32(out, (uint32_t)h);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

/* The bytes as adjacent string literals: printable characters as they are,
 * others as three-digit octal escapes. */
/* A C string literal of the bytes, in lines of about 76 columns. Octal escapes
 * are always three digits, so a following digit is never taken into one;
 * '?' is escaped against trigraphs. */
std::string literal(const std::vector<uint8_t> &b)
{
    std::string out, line = "  \"";
    for (size_t i = 0; i < b.size(); i++) {
        unsigned c = b[i];
        char tmp[8];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\' && c != '?')
            snprintf(tmp, sizeof(tmp), "%c", c);
        else
            snprintf(tmp, sizeof(tmp), "\\%03o", c);
        line += tmp;
        if (line.size() >= 76) {
            out += line + "\"\n";
            line = "  \"";
        }
    }
    if (line.size() > 3)
        out += line + "\"";
    else if (out.empty())
        out = "  \"\"";
    else
        out.pop_back(); /* no newline after the last line */
    return out;
}

std::vector<image_desc> catalogue()
{
    std::vector<image_desc> v;
    auto add = [&](const char *name, int w, int h, const char *role, std::function<void(cairo_t *)> d,
                   bool rle = false) {
        v.push_back({name, w, h, rle, role, d});
    };

    /* program logo and bus status (tab) */
    add("inline_image_logo_16x16", 16, 16, "program logo, 16 pixels", [](cairo_t *c) { draw_logo(c, 16); });
    add("inline_image_logo_32x32", 32, 32, "program logo, 32 pixels", [](cairo_t *c) { draw_logo(c, 32); });
    add("inline_image_logo_48x48", 48, 48, "program logo, 48 pixels", [](cairo_t *c) { draw_logo(c, 48); });
    add("inline_image_logo", 96, 96, "program logo of the event item dialog", [](cairo_t *c) { draw_logo(c, 96); });
    add("status_offline_image", 16, 16, "bus tab: offline", [](cairo_t *c) { draw_status(c, 0); });
    add("status_online_paused_image", 16, 16, "bus tab: online, paused", [](cairo_t *c) { draw_status(c, 1); });
    add("status_online_playing_image", 16, 16, "bus tab: online, playing", [](cairo_t *c) { draw_status(c, 2); });

    /* start types of the event grid */
    add("inline_image_start_type_follow", 16, 16, "start type: follow", [](cairo_t *c) { draw_start_type(c, 0); });
    add("inline_image_start_type_manual", 16, 16, "start type: manual", [](cairo_t *c) { draw_start_type(c, 1); });
    add("inline_image_start_type_fixed_time", 16, 16, "start type: fixed time",
        [](cairo_t *c) { draw_start_type(c, 2); });
    add("inline_image_start_type_gap_fill", 16, 16, "start type: gap fill", [](cairo_t *c) { draw_start_type(c, 3); });

    /* bus panel buttons */
    add("list_bus_absent_items_image", 24, 24, "absent items", [](cairo_t *c) { draw_usage(c, 0); });
    add("list_bus_error_items_image", 24, 24, "error items", [](cairo_t *c) { draw_usage(c, 1); });
    add("list_bus_checking_items_image", 24, 24, "checking items", [](cairo_t *c) { draw_usage(c, 2); });
    add("list_bus_present_items_image", 24, 24, "present items", [](cairo_t *c) { draw_usage(c, 3); });
    add("item_add_image", 32, 32, "add item", [](cairo_t *c) { draw_item(c, 0); });
    add("item_delete_image", 32, 32, "delete item", [](cairo_t *c) { draw_item(c, 1); });
    add("item_edit_image", 32, 32, "edit item", [](cairo_t *c) { draw_item(c, 2); });
    add("item_preview_image", 32, 32, "preview item", [](cairo_t *c) { draw_item_preview(c); });
    add("channel_stop_image", 32, 32, "stop channel", [](cairo_t *c) { draw_channel(c, false); });
    add("channel_start_image", 32, 32, "start channel", [](cairo_t *c) { draw_channel(c, true); });
    add("help_button_image", 32, 32, "help", [](cairo_t *c) { draw_help(c); });
    add("company_button_image", 32, 32, "maker's web page", [](cairo_t *c) { draw_company(c); });
    add("list_open_image", 32, 32, "open schedule", [](cairo_t *c) { draw_list_open(c); });
    add("list_close_image", 32, 32, "close schedule", [](cairo_t *c) { draw_list_close(c); });
    add("list_append_image", 32, 32, "append schedule", [](cairo_t *c) { draw_list_append(c); });
    add("list_truncate_above_image", 32, 32, "truncate above", [](cairo_t *c) { draw_list_truncate(c, true); });
    add("list_truncate_below_image", 32, 32, "truncate below", [](cairo_t *c) { draw_list_truncate(c, false); });
    add("list_saveas_image", 32, 32, "save schedule as", [](cairo_t *c) { draw_list_saveas(c); });
    add("list_take_image", 48, 48, "take", [](cairo_t *c) { draw_take(c); });
    add("list_take_n_image", 48, 48, "jump to item", [](cairo_t *c) { draw_take_n(c); });
    add("list_fallback_image", 48, 48, "fallback macro", [](cairo_t *c) { draw_fallback(c); });
    add("item_dlg_trim_image", 24, 24, "trim event", [](cairo_t *c) { draw_trimpad(c, false); });
    add("item_dlg_pad_image", 24, 24, "pad event", [](cairo_t *c) { draw_trimpad(c, true); });
    add("preview_show_img", 24, 24, "show preview", [](cairo_t *c) { draw_preview_toggle(c, true); });
    add("preview_hide_img", 24, 24, "hide preview", [](cairo_t *c) { draw_preview_toggle(c, false); });

    /* event item dialog */
    add("item_dlg_audio_map_image", 24, 24, "audio mapping", [](cairo_t *c) { draw_audio_map(c); });
    add("item_dlg_audio_amp_image", 24, 24, "audio gain", [](cairo_t *c) { draw_audio_amp(c); });

    /* metadata tree row types */
    add("metatree_0", 16, 16, "meta tree: ASSETS", [](cairo_t *c) { draw_metatree(c, 0); });
    add("metatree_1", 16, 16, "meta tree: GLOBAL VARS", [](cairo_t *c) { draw_metatree(c, 1); });
    add("metatree_2", 16, 16, "meta tree: template variable", [](cairo_t *c) { draw_metatree(c, 2); });
    add("metatree_3", 16, 16, "meta tree: global pair", [](cairo_t *c) { draw_metatree(c, 3); });
    add("metatree_4", 16, 16, "meta tree: template", [](cairo_t *c) { draw_metatree(c, 4); });

    /* library tree rows and pane buttons */
    add("library_icon_folder", 24, 24, "library folder", [](cairo_t *c) { draw_lib_folder(c); });
    add("library_icon_clip", 24, 24, "library clip", [](cairo_t *c) { draw_lib_clip(c); });
    add("library_icon_subclip", 32, 32, "library subclip", [](cairo_t *c) { draw_lib_subclip(c); });
    add("library_rename_image", 24, 24, "rename item", [](cairo_t *c) { draw_lib_button(c, 0); });
    add("library_delete_image", 24, 24, "delete items", [](cairo_t *c) { draw_lib_button(c, 1); });
    add("library_move_image", 24, 24, "move items", [](cairo_t *c) { draw_lib_button(c, 2); });
    add("library_create_dir_image", 24, 24, "create folder", [](cairo_t *c) { draw_lib_button(c, 3); });
    add("library_transfer_list_image", 24, 24, "transfer list", [](cairo_t *c) { draw_lib_button(c, 4); });
    add("library_transfer_export_image", 24, 24, "export", [](cairo_t *c) { draw_lib_button(c, 5); });
    add("library_transcoder_list_image", 24, 24, "transcoder list", [](cairo_t *c) { draw_lib_button(c, 6); });
    add("library_transcoder_item_image", 24, 24, "transcode", [](cairo_t *c) { draw_lib_button(c, 7); });
    add("library_audionorm_item_image", 24, 24, "normalise audio", [](cairo_t *c) { draw_lib_button(c, 8); });
    add("library_find_image", 24, 24, "find item", [](cairo_t *c) { draw_lib_button(c, 9); });
    add("library_find_next_image", 16, 16, "find next item", [](cairo_t *c) { draw_find_next(c); });
    add("library_subclip_image", 24, 24, "new subclip", [](cairo_t *c) { draw_lib_button(c, 12); });
    add("library_show_image", 24, 24, "show library", [](cairo_t *c) { draw_lib_button(c, 10); });
    add("library_hide_image", 24, 24, "hide library", [](cairo_t *c) { draw_lib_button(c, 11); });
    add(
        "library_capacity_image", 560, 560, "capacity gauge, cell k = k percent", [](cairo_t *c) { draw_capacity(c); },
        true);

    /* transfer and transcoder job lists */
    add("transfer_dir_e", 16, 16, "export", [](cairo_t *c) { draw_transfer_dir(c, false, false); });
    add("transfer_dir_ed", 16, 16, "export, source deleted", [](cairo_t *c) { draw_transfer_dir(c, false, true); });
    add("transfer_dir_i", 16, 16, "import", [](cairo_t *c) { draw_transfer_dir(c, true, false); });
    add("transfer_dir_id", 16, 16, "import, source deleted", [](cairo_t *c) { draw_transfer_dir(c, true, true); });
    const char *states[5] = {"pending", "started", "done", "error", "cancel"};
    for (int t = 0; t < 2; t++)
        for (int s = 0; s < 5; s++) {
            std::string n = std::string(t ? "transcoder_state_" : "transfer_state_") + states[s];
            v.push_back({n, 16, 16, false, std::string(t ? "transcoder job " : "transfer job ") + states[s],
                         [s, t](cairo_t *c) { draw_job_state(c, s, t == 1); }});
        }
    const char *buttons[4] = {"refresh", "restart", "delete", "cancel"};
    for (int t = 0; t < 2; t++)
        for (int b = 0; b < 4; b++) {
            std::string n = std::string(t ? "transcoder_" : "transfer_") + buttons[b];
            v.push_back({n, 24, 24, false, std::string(t ? "transcoder list: " : "transfer list: ") + buttons[b],
                         [b, t](cairo_t *c) { draw_job_button(c, b, t == 1); }});
        }

    /* subclip editor */
    const char *sub[16] = {"subclip_goto_markin",
                           "subclip_goto_markout",
                           "subclip_markin",
                           "subclip_markout",
                           "subclip_one_sec_minus",
                           "subclip_one_sec_plus",
                           "subclip_play",
                           "subclip_pause",
                           "subclip_speed_down",
                           "subclip_speed_up",
                           "subclip_step_back",
                           "subclip_step_forward",
                           "subclip_edit_new_image_inline",
                           "subclip_edit_update_image_inline",
                           "subclip_edit_undo_image_inline",
                           "subclip_edit_delete_image_inline"};
    const char *subrole[16] = {"go to mark in",      "go to mark out",     "set mark in",    "set mark out",
                               "one second back",    "one second forward", "play",           "pause",
                               "faster backwards",   "faster forwards",    "one frame back", "one frame forward",
                               "add as new subclip", "save subclip",       "undo subclip",   "delete subclip"};
    for (int i = 0; i < 16; i++)
        v.push_back({sub[i], 24, 24, false, subrole[i], [i](cairo_t *c) { draw_subclip(c, i); }});

    /* IO settings and preview */
    add("settings_amap_presets_image", 16, 16, "channel map presets", [](cairo_t *c) { draw_presets(c); });
    add(
        "inline_pelmora_io_preview_audio_pairs_button", PAIR_W * 4, PAIR_H * 5,
        "audio pair buttons: 4 states x 5 styles", [](cairo_t *c) { draw_audio_pairs(c); }, true);
    return v;
}

const char *HEADER_TOP = "/* Data of the built-in images, written by tools/images/gen_images at build\n"
                         " * time; included by ui_images.h. */\n"
                         "#pragma once\n"
                         "\n";

const char *SOURCE_TOP = "/* Built-in images (written by tools/images/gen_images at build time). */\n"
                         "#include \"ui_images.h\"\n"
                         "\n";

/* Writes text to path through a temporary file and a rename, so that an
 * interrupted build never leaves half a source file behind. */
bool replace_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    remove(tmp.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s <data dir> [<logo png>]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    const char *png = argc == 3 ? argv[2] : nullptr;
    std::vector<image_desc> images = catalogue();

    std::string h = HEADER_TOP, c = SOURCE_TOP;
    char line[512];
    size_t total = 0;
    for (const image_desc &im : images) {
        cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, im.width, im.height);
        cairo_t *cr = cairo_create(s);
        im.draw(cr);
        cairo_destroy(cr);
        std::vector<uint8_t> px = rgba_of(s, im.width, im.height);
        if (png && im.name == "inline_image_logo_48x48" && cairo_surface_write_to_png(s, png) != CAIRO_STATUS_SUCCESS) {
            fprintf(stderr, "cannot write %s\n", png);
            return 1;
        }
        cairo_surface_destroy(s);

        std::vector<uint8_t> ser = serialize(px, im.width, im.height, im.rle);
        total += ser.size();
        snprintf(line, sizeof(line), "extern const guint8 %s[]; /* %dx%d, %s */\n", im.name.c_str(), im.width,
                 im.height, im.role.c_str());
        h += line;
        c += "const guint8 " + im.name + "[] =\n" + literal(ser) + ";\n\n";
    }

    c += "const ui_image_desc ui_images[] = {\n";
    for (const image_desc &im : images) {
        snprintf(line, sizeof(line), "    {\"%s\", %s, %d, %d, \"%s\"},\n", im.name.c_str(), im.name.c_str(), im.width,
                 im.height, im.role.c_str());
        c += line;
    }
    c += "    {nullptr, nullptr, 0, 0, nullptr},\n};\n";

    if (!replace_file(dir + "/ui_images_data.h", h) || !replace_file(dir + "/ui_images_data.cpp", c)) {
        fprintf(stderr, "cannot write ui_images_data.{h,cpp} in %s\n", dir.c_str());
        return 1;
    }
    printf("%zu images, %zu bytes of image data\n", images.size(), total);
    cairo_debug_reset_static_data();
    return 0;
}
