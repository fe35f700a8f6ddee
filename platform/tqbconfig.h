// Configuration options.
//
// tqbGetConfigOptions("") returns the process's options object, owned here and never
// released by the caller.  lookup(key, value) fills `value` and returns true when the
// key has a value.  A host sets values in-process with tqbSetConfigValue; the key
// "BASE/TEMP" (the default temporary directory list) also comes from the environment
// variable TQ_BASE_TEMP when the host set none.
#ifndef TQ_PLATFORM_TQBCONFIG_H
#define TQ_PLATFORM_TQBCONFIG_H

#include "tqbexport.h"
#include "tqbstring.h"

class TqbConfigOptions {
 public:
  virtual const char* name() const = 0;
  virtual bool has(const TqbString& key) const = 0;
  virtual bool lookup(const TqbString& key, TqbString& value) const = 0;

 protected:
  ~TqbConfigOptions() = default;
};

TQB_EXPORT TqbConfigOptions* tqbGetConfigOptions(const char* name);

// Sets (or with a null value removes) a configuration value for this process.
TQB_EXPORT void tqbSetConfigValue(const char* key, const char* value);

#endif
