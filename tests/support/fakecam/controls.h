/* The emulated camera's controls, as a UVC webcam has them.
 *
 * User controls: brightness (-64..64, 0; shifts every channel by its value),
 * contrast, saturation, hue, white_balance_automatic (on), gain (0..255, 64;
 * scales the picture by gain / 64), power_line_frequency (menu: Disabled,
 * 50 Hz, 60 Hz; 50 Hz), white_balance_temperature, sharpness. Camera
 * controls: auto_exposure (menu: Manual Mode 1, Aperture Priority Mode 3;
 * aperture priority), exposure_time_absolute (3..2047, 250; in manual mode it
 * scales the picture by value / 250), focus_absolute, focus_automatic_continuous
 * (on), zoom_absolute. Each class starts with its class control, as the
 * kernel lists them. At the defaults the picture is untouched.
 *
 * As the UVC driver does, a manual control whose automatic partner is on
 * (white_balance_temperature, exposure_time_absolute, focus_absolute) is
 * flagged inactive and refuses to be set with EACCES. An integer value out
 * of range is clamped and rounded to the step; a menu value that is not an
 * entry fails with EINVAL, and so does setting a class control.
 *
 * The state belongs to the node, shared by every handle on it, and goes back
 * to the defaults when the node is plugged in again; the callers
 * hold the emulation's lock.
 */
#ifndef FAKECAM_CONTROLS_H
#define FAKECAM_CONTROLS_H

#include <stddef.h>
#include <stdint.h>

/* Answers a control request (QUERYCTRL, QUERY_EXT_CTRL, QUERYMENU, G/S_CTRL,
 * G/S/TRY_EXT_CTRLS) for node `node`: 0 or an errno. */
int fakecam_control_answer(int node, unsigned long request, void *arg);
/* Back to the defaults, as a camera plugged in again starts. */
void fakecam_control_reset(int node);
/* Applies the node's controls to a top-down BGR frame of `stride`-byte rows. */
void fakecam_control_apply(int node, uint8_t *bgr, size_t stride, int width, int height);

#endif
