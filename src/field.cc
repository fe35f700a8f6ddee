// The field record's destructor: it owns the file serializers' scratch buffer.
#include "platform/tqballoc.h"
#include "tqdatafile/field.h"

TqDatafileField::~TqDatafileField() { tqbFree(fieldBuffer); }
