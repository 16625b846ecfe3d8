/* Reads two fields of spandsp's T.31 state that its public API does not expose: the AT
   interpreter's receive mode (command or data) and its echo setting. Kept in C because
   spandsp's private headers are C headers. */
#include <stdint.h>
#include <tiffio.h>
#include <spandsp.h>
#include <spandsp/expose.h>

#include "t31_access.h"

int linesim_t31_in_command_mode(t31_state_t *s) {
    return s->at_state.at_rx_mode == AT_MODE_ONHOOK_COMMAND ||
           s->at_state.at_rx_mode == AT_MODE_OFFHOOK_COMMAND;
}

int linesim_t31_echo(t31_state_t *s) { return s->at_state.p.echo; }

int linesim_t31_verbose(t31_state_t *s) { return s->at_state.p.verbose; }
