/* Quasi-peak meter ballistics. */
#include "qpm.h"

#include <math.h>
#include <stdlib.h>

/* The discharge time constant in seconds, in single precision as the
 * meter scale was calibrated with it. */
static const double QPM_TAU = (double)1.15f;

int qpm_create(int type, qpm_t **meter)
{
    if (!meter || (type != 0 && type != 5 && type != 10 && type != 200))
        return -1;
    *meter = (qpm_t *)calloc(1, sizeof(qpm_t));
    if (!*meter)
        return -1;
    (*meter)->type = type;
    return 0;
}

int qpm_release(qpm_t **meter)
{
    if (!meter || !*meter)
        return -1;
    free(*meter);
    *meter = nullptr;
    return 0;
}

int qpm_sample(qpm_t *m, double v, double dT)
{
    if (!m)
        return -1;
    v = fabs(v);
    if (m->type == 0)
        m->Vc_curr = v;
    else {
        /* Ratio of the discharge to the charge time constant. */
        double k = m->type == 5 ? 923 : m->type == 200 ? 49 : 466;
        if (v > m->Vc_curr)
            m->Vc_curr += (k / QPM_TAU) * (v - ((1 + k) / k) * m->Vc_curr) * dT;
        else
            m->Vc_curr += (-dT / QPM_TAU) * m->Vc_curr;
    }
    if (fabs(m->Vc_curr) > fabs(m->Vc_max))
        m->Vc_max = m->Vc_curr;
    return 0;
}

static double qpm_db(double v, double scale)
{
    return (double)(8.68588924407959f * logf((float)(v / scale)));
}

int qpm_value_curr(qpm_t *m, double scale, double *value)
{
    if (!m || !value)
        return -1;
    *value = qpm_db(m->Vc_curr, scale);
    return 0;
}

int qpm_value_max(qpm_t *m, double scale, double *value)
{
    if (!m || !value)
        return -1;
    *value = qpm_db(m->Vc_max, scale);
    return 0;
}

int qpm_value_max_once(qpm_t *m, double scale, double *value)
{
    if (qpm_value_max(m, scale, value) < 0)
        return -1;
    m->Vc_max = 0;
    return 0;
}

int qpm_raw_Vc_curr(qpm_t *m, double *value)
{
    if (!m || !value)
        return -1;
    *value = m->Vc_curr;
    return 0;
}

int qpm_raw_Vc_max(qpm_t *m, double *value)
{
    if (!m || !value)
        return -1;
    *value = m->Vc_max;
    return 0;
}
