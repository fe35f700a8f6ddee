// tqsort from Python: a run of tqsort in this process (tools/tqsort_run.h), and the key
// ranges of the cluster sort (tools/tqsort_ranges.h).
//
// Both take tqsort's own arguments ("-k", "2:int", "-s", ...), so that every option is
// read, checked and explained by tqsort's code, and a run here is what `tqsort ARGS`
// does.  A run releases the GIL and reports its progress through the module's relay
// (support.h); it is stopped by the progress callable, not by a signal, and removes
// its temporary files whatever its end.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "support.h"
#include "tqsort_options.h"
#include "tqsort_progress.h"
#include "tqsort_ranges.h"
#include "tqsort_run.h"

namespace tqpy {

using namespace pybind11::literals;  // "name"_a = value: a keyword of a dict

namespace {

// Hands a run's progress to the relay.
class RunListener final : public tqsort::ProgressListener {
 public:
  explicit RunListener(Relay* relay) : relay_(relay) {}
  bool heard(const char* phase, double fraction) override { return relay_->hear(phase, fraction); }

 private:
  Relay* relay_;
};

tqsort::Options parsed(const std::vector<std::string>& args) {
  tqsort::Options options;
  tqsort::Action action = tqsort::Action::Sort;
  tqsort::Status s = tqsort::parseInProcess(args, &options, &action);
  if (!s.ok()) raise(exceptions().invalidArgument, s.message(), "invalidArgument");
  if (action != tqsort::Action::Sort) {
    raise(exceptions().invalidArgument, "--help and --version are for the command line; a run here sorts.",
          "invalidArgument");
  }
  return options;
}

[[noreturn]] void raiseRun(const tqsort::Status& s) { raise(exceptions().error, s.message(), nullptr); }

void runTqsort(const std::vector<std::string>& args, py::object progress) {
  tqsort::Options options = parsed(args);
  Relay relay(std::move(progress));
  RunListener listener(&relay);
  tqsort::ProgressBar bar;
  bar.listen(&listener);
  tqsort::Status result;
  runReleased(relay, [&] { result = tqsort::runInProcess(options, &bar); });
  if (result.ok()) return;
  if (relay.stopping()) raise(exceptions().stopped, result.message(), "stopped");
  raiseRun(result);
}

py::dict optionsDict(const std::vector<std::string>& args) {
  tqsort::Options o = parsed(args);
  py::list keys;
  for (const tqsort::KeyOption& k : o.keys) {
    keys.append(py::make_tuple(k.column, k.index, tqsort::typeName(k.type), k.descending));
  }
  py::object output = o.outputGiven ? py::object(py::str(o.output)) : py::object(py::none());
  return py::dict("keys"_a = keys, "separator"_a = std::string(1, o.separator), "header"_a = o.header,
                  "stable"_a = o.stable, "unique"_a = o.unique, "lenient"_a = o.lenient, "collate"_a = o.collate,
                  "inputs"_a = o.inputs, "output"_a = output, "buffer_size"_a = o.bufferSize,
                  "temp_dirs"_a = o.tempDirs, "parallel"_a = o.parallel);
}

py::tuple firstRecord(const std::vector<std::string>& args, const std::string& path) {
  tqsort::Options o = parsed(args);
  bool bom = false;
  std::string record;
  tqsort::Status s;
  {
    py::gil_scoped_release release;
    s = tqsort::firstRecord(path, o.separator, &bom, &record);
  }
  if (!s.ok()) raiseRun(s);
  return py::make_tuple(bom, py::bytes(record));
}

std::vector<std::string> resolvedKeys(const std::vector<std::string>& args, const std::string& header) {
  tqsort::Options o = parsed(args);
  std::vector<std::string> keys;
  tqsort::Status s = tqsort::resolvedKeys(o, header, &keys);
  if (!s.ok()) raise(exceptions().invalidArgument, s.message(), "invalidArgument");
  return keys;
}

tqsort::Share shareOf(const std::string& path, int64_t begin, int64_t end, const std::string& header,
                      const std::string& headerFile) {
  tqsort::Share share;
  share.path = path;
  share.begin = begin;
  share.end = end;
  share.header = header;
  share.headerFile = headerFile;
  return share;
}

std::vector<py::bytes> sampleKeys(const std::vector<std::string>& args, const std::string& path, int64_t begin,
                                  int64_t end, size_t count, size_t memory) {
  tqsort::Options o = parsed(args);
  std::vector<std::string> keys;
  tqsort::Status s;
  {
    py::gil_scoped_release release;
    s = tqsort::sampleKeys(o, shareOf(path, begin, end, "", ""), count, memory, &keys);
  }
  if (!s.ok()) raiseRun(s);
  return std::vector<py::bytes>(keys.begin(), keys.end());
}

py::dict splitShare(const std::vector<std::string>& args, const std::string& path, int64_t begin, int64_t end,
                    const std::string& header, const std::string& headerFile, int64_t firstLine,
                    const std::vector<std::string>& boundaries, const std::string& piecePrefix, size_t memory) {
  tqsort::Options o = parsed(args);
  tqsort::ShareSplit split;
  tqsort::Status s;
  {
    py::gil_scoped_release release;
    s = tqsort::splitShare(o, shareOf(path, begin, end, header, headerFile), firstLine, boundaries, piecePrefix,
                           memory, &split);
  }
  if (!s.ok()) raiseRun(s);
  return py::dict("first"_a = split.first, "next"_a = split.next, "lines"_a = split.lines, "rows"_a = split.rows,
                  "bytes"_a = split.bytes, "mark_added"_a = split.markAdded);
}

}  // namespace

void bindCsv(py::module_& m) {
  m.def("_run_tqsort", &runTqsort, py::arg("args"), py::arg("progress"),
        "Runs tqsort with `args` (its command-line arguments) in this process.");
  m.def("_tqsort_options", &optionsDict, py::arg("args"), "tqsort's reading of `args`, as a dict.");
  m.def("_first_record", &firstRecord, py::arg("args"), py::arg("path"),
        "(starts with a byte-order mark, the first record with its line end) of `path`.");
  m.def("_resolved_keys", &resolvedKeys, py::arg("args"), py::arg("header"),
        "The keys of `args` as -k values with column numbers, names looked up in `header`.");
  m.def("_sample_keys", &sampleKeys, py::arg("args"), py::arg("path"), py::arg("begin"), py::arg("end"),
        py::arg("count"), py::arg("memory"), "Keys (the library's key bytes) sampled from a share.");
  m.def("_split_share", &splitShare, py::arg("args"), py::arg("path"), py::arg("begin"), py::arg("end"),
        py::arg("header"), py::arg("header_file"), py::arg("first_line"), py::arg("boundaries"),
        py::arg("piece_prefix"), py::arg("memory"), "Splits a share into one piece file per key range.");
}

}  // namespace tqpy
