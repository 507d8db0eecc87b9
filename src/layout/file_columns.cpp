// Layout.unpack_file: a file of back-to-back packets read chunk by chunk into one buffer that is
// reused, each chunk decoded into columns and added to the result, so that memory beyond the
// result stays at one chunk and its columns.
#include "python.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bits.hpp"
#include "layout/columns.hpp"
#include "layout/file_reading.hpp"

namespace fieldpack::layout {

namespace {

constexpr std::string_view kFunction = "Layout.unpack_file";

PyObject* raise_partial(std::uint64_t stride, std::uint64_t bytes) {
  std::string message(kFunction);
  message += "() requires a file of a multiple of ";
  append_decimal(message, stride);
  message += " bytes, not ";
  append_decimal(message, bytes);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// The result columns, grown chunk by chunk: lists are extended by each chunk's lists, numpy
// arrays grown in place (numpy's resize) when the file holds more than was known.
class Accumulator {
 public:
  Accumulator(const ColumnSet& columns, PyObject* numpy) : columns_(columns), numpy_(numpy) {}

  bool start(std::uint64_t capacity) {
    results_.resize(columns_.size());
    capacity_ = capacity;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (is_array(c)) {
        results_[c] = new_array(numpy_, columns_.type(c), capacity);
      } else {
        results_[c] = PyRef::steal(PyList_New(0));
      }
      if (!results_[c]) return false;
    }
    return true;
  }

  bool add(PyObject* chunk, std::uint64_t count, std::uint64_t stride, std::uint64_t first_byte) {
    if (filled_ + count > capacity_) {
      // A file that grows as it is read, or one of unknown size: a quarter more each time, so
      // that the arrays are copied a bounded number of times.
      std::uint64_t capacity = capacity_ + capacity_ / 4;
      if (capacity < filled_ + count) capacity = filled_ + count;
      if (!resize(capacity)) return false;
    }
    const std::size_t column_count = columns_.size();
    std::vector<PyRef> lists(column_count);
    std::vector<ArrayMemory> memories(column_count);
    std::vector<ColumnTarget> targets(column_count);
    for (std::size_t c = 0; c < column_count; ++c) {
      if (is_array(c)) {
        const std::size_t size = element_size(columns_.type(c));
        if (!memories[c].acquire(results_[c].get(), (filled_ + count) * size)) return false;
        targets[c].array = memories[c].data() + filled_ * size;
      } else {
        lists[c] = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!lists[c]) return false;
        targets[c].list = lists[c].get();
      }
    }
    if (!decode_columns(columns_, chunk, count, stride, targets, 0,
                        {"unpack_file", filled_, first_byte})) {
      return false;
    }
    for (std::size_t c = 0; c < column_count; ++c) {
      if (is_array(c)) continue;
      PyObject* list = results_[c].get();
      const Py_ssize_t end = PyList_GET_SIZE(list);
      if (PyList_SetSlice(list, end, end, lists[c].get()) < 0) return false;
    }
    filled_ += count;
    return true;
  }

  PyObject* finish() {
    if (capacity_ != filled_ && !resize(filled_)) return nullptr;
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (PyDict_SetItem(result.get(), columns_.key(c), results_[c].get()) < 0) return nullptr;
    }
    return result.release();
  }

 private:
  bool is_array(std::size_t column) const {
    return numpy_ && columns_.type(column) != ColumnType::text;
  }

  bool resize(std::uint64_t capacity) {
    PyRef keywords = PyRef::steal(Py_BuildValue("{s:O}", "refcheck", Py_False));
    PyRef arguments = PyRef::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(capacity)));
    if (!keywords || !arguments) return false;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      if (!is_array(c)) continue;
      PyRef method = PyRef::steal(PyObject_GetAttrString(results_[c].get(), "resize"));
      if (!method) return false;
      PyRef done = PyRef::steal(PyObject_Call(method.get(), arguments.get(), keywords.get()));
      if (!done) return false;
    }
    capacity_ = capacity;
    return true;
  }

  const ColumnSet& columns_;
  PyObject* numpy_;
  std::vector<PyRef> results_;
  std::uint64_t filled_ = 0;
  std::uint64_t capacity_ = 0;
};

PyObject* read_archive(const Plan& plan, Archive& archive, Progress& progress, std::uint64_t stride,
                       bool numpy, std::uint64_t chunk_packets, PyObject* progress_argument) {
  std::optional<std::uint64_t> left;
  if (!archive.bytes_left(left)) return nullptr;
  if (left && *left % stride != 0) return raise_partial(stride, *left);
  std::optional<std::uint64_t> total;
  if (left) total = *left / stride;

  ColumnSet columns;
  if (!columns.build(plan)) return nullptr;
  PyRef numpy_module;
  if (numpy) {
    numpy_module = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy_module) return nullptr;
  }
  Accumulator accumulator(columns, numpy_module.get());
  if (!accumulator.start(total.value_or(0))) return nullptr;

  // A file known to be small gets a chunk of its size (at least one packet, to see its end).
  std::uint64_t packets = chunk_packets;
  if (total && *total < packets) packets = *total > 0 ? *total : 1;
  if (packets > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / stride) {
    PyErr_SetString(PyExc_OverflowError, "Layout.unpack_file() chunk is too large");
    return nullptr;
  }
  const std::uint64_t chunk_bytes = packets * stride;
  PyRef chunk =
      PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(chunk_bytes)));
  if (!chunk) return nullptr;
  PyRef memory = PyRef::steal(PyMemoryView_FromObject(chunk.get()));
  if (!memory) return nullptr;

  if (!progress.start(progress_argument, total)) return nullptr;
  std::uint64_t done_bytes = 0;
  std::uint64_t done_packets = 0;
  while (true) {
    const long long got = archive.fill(chunk.get(), memory.get(), 0, chunk_bytes);
    if (got < 0) return nullptr;
    const auto bytes = static_cast<std::uint64_t>(got);
    const std::uint64_t whole = bytes / stride;
    if (whole > 0) {
      if (!accumulator.add(chunk.get(), whole, stride, done_bytes)) return nullptr;
      done_packets += whole;
      if (!progress.report(done_packets)) return nullptr;
    }
    done_bytes += bytes;
    // A short chunk is the end of the file; what is left of a packet there is an error, raised
    // once every whole packet before it is decoded.
    if (bytes < chunk_bytes) {
      if (bytes % stride != 0) return raise_partial(stride, done_bytes);
      break;
    }
  }
  return accumulator.finish();
}

}  // namespace

PyObject* unpack_file(const Plan& plan, PyObject* path_or_file, std::uint64_t stride, bool numpy,
                      std::uint64_t chunk_packets, PyObject* progress_argument) {
  Archive archive(kFunction);
  Progress progress({"unpack_file", "packet", "packets"});
  PyObject* result = nullptr;
  if (archive.open(path_or_file)) {
    result = read_archive(plan, archive, progress, stride, numpy, chunk_packets, progress_argument);
  }
  return closed_result(result, progress, archive);
}

}  // namespace fieldpack::layout
