#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct t31_state_s;

/* Nonzero while the T.31 AT interpreter reads command lines (not page or frame data). */
int linesim_t31_in_command_mode(struct t31_state_s *s);
/* Nonzero when command echo (ATE1) is on. */
int linesim_t31_echo(struct t31_state_s *s);
/* Nonzero when verbose result codes (ATV1) are on. */
int linesim_t31_verbose(struct t31_state_s *s);

#ifdef __cplusplus
}
#endif
