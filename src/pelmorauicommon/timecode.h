/* Timecode: frame counts to and from HH:MM:SS:FF text, fields, seconds,
 * milliseconds and BCD in one process-wide mode. */
#pragma once
