// TqDatafileManagerImpl: the one implementation of TqDatafileManager.
//
// Holds the settings that datafiles copy when they are created (columns, chunk size,
// sort options) and the parsed list of temporary directories.  Datafiles keep a
// pointer to their manager and read its settings through the non-virtual getters
// below, so a manager must outlive its datafiles.  No locks: one thread at a time.
#ifndef TQ_SRC_DATAMGR_H
#define TQ_SRC_DATAMGR_H

#include "platform/tqbstring.h"
#include "platform/tqlog.h"
#include "tqdatafile/manager.h"

namespace tqlib {

class TqDatafileManagerImpl final : public TqDatafileManager {
 public:
  TqDatafileManagerImpl();
  ~TqDatafileManagerImpl();
  TqDatafileManagerImpl(const TqDatafileManagerImpl&) = delete;
  TqDatafileManagerImpl& operator=(const TqDatafileManagerImpl&) = delete;

  // Parses and checks the directory list; false with lastError set.  Factory only.
  bool init(const TqbString& tempDirList);

  TqDatafile* clone(TqDatafile* source) override;
  TqDatafile* createFile(uint32_t flags) override;
  TqDatafile* freeze(TqDatafile* file) override;
  TqbString getError() override { return lastError_; }
  void release() override;
  bool setChunkSize(uint32_t size) override;
  bool setColSpec(int32_t index, tqbType type, int32_t length) override;
  bool setColumns(int32_t count) override;
  bool setSortMarkByGroups(bool on) override;
  bool setSortNoCodeGen(bool on) override;
  bool setSortNoDups(bool on) override;
  bool setSortProcessors(int32_t processors) override;
  bool setSortRecords(int64_t records) override;
  bool setSortSize(uint32_t bytes) override;
  bool setSortStable(bool on) override;

  // Getters for the library's datafiles; each traces its call at level 1.
  uint32_t getChunkSize();
  // The column count; `descriptors` receives the column records (may be null).
  int32_t getColumns(TqDatafileField** descriptors);
  bool getSortMarkByGroups();
  bool getSortNoCodeGen();
  bool getSortNoDups();
  bool getSortStable();
  int32_t getSortProcessors();
  int64_t getSortRecords();
  uint32_t getSortSize();
  // The directory list as given to init.
  TqbString getTempDirs();
  // The directory count; `dirs` receives the parsed directories.
  int32_t getTempDirs(TqbString** dirs);

  void setError(const TqbString& text) { lastError_ = text; }

 private:
  void freeColumns();

  TqLogger* logger_;
  TqbString tempDirList_;
  int32_t tempDirCount_ = 0;
  TqbString* tempDirs_ = nullptr;      // tempDirCount_ strings, owned
  uint32_t chunkSize_ = 0x800000;
  int32_t columnCount_ = -1;           // -1: never set
  TqDatafileField* columns_ = nullptr; // columnCount_ records, owned
  bool sortMarkByGroups_ = false;
  bool sortNoCodeGen_ = false;
  bool sortNoDups_ = false;
  int32_t sortProcessors_ = 1;
  int64_t sortRecords_ = 0;
  uint32_t sortSize_ = 0;
  bool sortStable_ = false;
  TqbString lastError_;
};

}  // namespace tqlib

#endif
