/* Included by every source file of libtessel after the GLib headers. */
#ifndef TESSEL_PRIVATE_H
#define TESSEL_PRIVATE_H

#include <glib.h>

/* GLib names the failing function in its return-if-fail criticals.  Under
 * C++ it would use the whole signature; applications match the plain C
 * name, as a C build of the library would print it. */
#undef G_STRFUNC
#define G_STRFUNC ((const char *) (__func__))

#endif /* TESSEL_PRIVATE_H */
