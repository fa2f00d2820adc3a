/* Export marker for the public calls and data of libtessel.
 *
 * The library is built with hidden visibility; only what carries TESSEL_API
 * is visible to applications. */
#ifndef TESSEL_EXPORT_H
#define TESSEL_EXPORT_H

#if defined(TESSEL_COMPILATION)
#define TESSEL_API __attribute__ ((visibility ("default")))
#else
#define TESSEL_API
#endif

#endif /* TESSEL_EXPORT_H */
