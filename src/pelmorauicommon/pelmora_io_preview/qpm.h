/* Quasi-peak level meter: a capacitor charged through a fast resistor and
 * discharged through a slow one, fed one sample at a time. Types 0 (plain
 * peak follower), 5, 10 and 200 differ in their charge time. */
#pragma once

typedef struct qpm_desc
{
    int type;
    double Vc_curr; /* present value */
    double Vc_max;  /* largest since last read and reset */
} qpm_t;

/* 0, or -1 for an unknown type. *meter is allocated zeroed. */
int qpm_create(int type, qpm_t **meter);
/* Frees and clears *meter; -1 for none. */
int qpm_release(qpm_t **meter);
int qpm_sample(qpm_t *meter, double v, double dT);
/* Levels in dB relative to `scale`; -1 for a missing meter. */
int qpm_value_curr(qpm_t *meter, double scale, double *value);
int qpm_value_max(qpm_t *meter, double scale, double *value);
int qpm_value_max_once(qpm_t *meter, double scale, double *value);
int qpm_raw_Vc_curr(qpm_t *meter, double *value);
int qpm_raw_Vc_max(qpm_t *meter, double *value);
