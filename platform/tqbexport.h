// Symbol visibility for the platform services.  The library is built with hidden
// visibility; what a host may call carries TQB_EXPORT.
#ifndef TQ_PLATFORM_TQBEXPORT_H
#define TQ_PLATFORM_TQBEXPORT_H

#define TQB_EXPORT __attribute__((visibility("default")))

#endif
