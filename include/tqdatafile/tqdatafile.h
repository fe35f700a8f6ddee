// tqdatafile: temporary storage for typed rows and a parallel, memory-bounded external
// merge sort of those rows.  The one header a host includes.
//
// Two ways in: the C++ layer of namespace tq (tq.h: RAII objects, a Status per call,
// range-for reading; where a host starts), and below it the interfaces it is built on,
// TqDatafileManager and TqDatafile (manager.h, datafile.h), the library's binary
// contract, for hosts that call them directly:
//
//   TqbString error;
//   TqDatafileManager* mgr = tqDatafileManagerCreate("/var/tmp", &error);
//   mgr->setColumns(2);
//   mgr->setColSpec(0, tqbTypeInteger, 0);
//   mgr->setColSpec(1, tqbTypeString, 40);
//   TqDatafile* f = mgr->createFile(TqDatafile::FlagSorted | TqDatafile::FlagVariableRows);
//   f->resetSort(1);
//   f->setSort(0, 0, 1, nullptr);
//   ... f->getField(0)->assign(int64_t{42}); f->getField(1)->assign("x"); f->addRow(nullptr);
//   for (int32_t s = f->sort(); s == 0; s = f->next(nullptr)) {   // sort loads the first row
//     ... read f->getField(i) ...
//   }                                // 4 at the end; anything else: f->getError()
//   f->release();                    // the datafile first, then its manager
//   mgr->release();
//
// Host configuration: tqlogSetLevel / tqlogSetSink / tqlogSetFile (logging, silent by
// default), tqbSetConfigValue("BASE/TEMP", "/a:/b") (default temporary directories).
#ifndef TQDATAFILE_TQDATAFILE_H
#define TQDATAFILE_TQDATAFILE_H

#include "platform/tqbconfig.h"
#include "platform/tqbdatavar.h"
#include "platform/tqbdecimal.h"
#include "platform/tqbstring.h"
#include "platform/tqlog.h"
#include "tqdatafile/datafile.h"
#include "tqdatafile/field.h"
#include "tqdatafile/manager.h"
#include "tqdatafile/tq.h"

#endif
