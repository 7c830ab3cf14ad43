/* The subclip editor's player engine: one worker thread sends the editor's
 * calls to the IO server's player in the order they were asked, and the
 * player's status comes in through the IO status monitor. What the editor
 * shows is announced through hooks on the main loop; nothing here touches a
 * widget, and the main loop never waits for the server. */
#pragma once
#include "idle_wrap.h"
#include "pelmora_io.h"
#include "srv.h"

/* Calls not yet sent beyond this are refused: a player that does not
 * answer must not collect an operator's key repeats without end. */
#define SUBCLIP_PLAYER_QUEUE_MAX 64

typedef enum subclip_player_op
{
    SUBCLIP_OP_STOP,
    SUBCLIP_OP_CUE_PLAY_WITH_DATA, /* i: start timecode in mode frames */
    SUBCLIP_OP_PAUSE,
    SUBCLIP_OP_APPEND, /* name, i: in, i2: duration */
    SUBCLIP_OP_SEEK,   /* i: clip frames */
    SUBCLIP_OP_PLAY,
    SUBCLIP_OP_PLAY_VARI, /* d: speed */
} subclip_player_op_t;

/* Run on the main loop, under the lock given at creation. */
typedef struct subclip_player_hooks_desc
{
    /* A status whose position or speed differs from the last one shown
     * (or the first one). */
    void (*status)(void *cookie, const pelmora_status_t *s);
    /* What is wrong with the player now: `down` non-zero while its status
     * polls fail (code in down_r); `failed_op` the last call refused or
     * unanswered (-1 for none, cleared by the next call that succeeds) with
     * its result in failed_r. */
    void (*trouble)(void *cookie, int down, int down_r, int failed_op, int failed_r);
} subclip_player_hooks_t;

typedef struct subclip_player_desc subclip_player_t;

/* Starts the worker and subscribes to `srv` (which must be running). Null
 * when no thread could be made or the monitor's table is full. */
subclip_player_t *subclip_player_create(srv_t *srv, const subclip_player_hooks_t *hooks, void *cookie,
                                        const idle_wrap_lock_t *lock);
/* Queues one call. 0, or -16 when SUBCLIP_PLAYER_QUEUE_MAX calls wait
 * already (nothing queued), -22 for a bad argument. */
int subclip_player_send(subclip_player_t *p, subclip_player_op_t op, int i, int i2, double d, const char *name);
/* The last good status received: 1 with *s filled, 0 before the first. */
int subclip_player_status(subclip_player_t *p, pelmora_status_t *s);
/* Unsubscribes, drops the calls not yet sent, stops the player and waits
 * for that with the main loop running (called on the main loop, holding
 * the lock given at creation); no hook runs once it has begun. Frees p. */
void subclip_player_close(subclip_player_t *p);
/* The op's name for messages ("PLAY", "SEEK", ...). */
const char *subclip_player_op_name(int op);
