/* Call frame shared by every server namespace: the client pool, the call
 * primitive and the common response decoders. */
#include "pelmora.h"
