// Layout.unpack_file: a file of back-to-back packets read chunk by chunk into one buffer that is
// reused, each chunk decoded into columns and added to the result, so that memory beyond the
// result stays at one chunk and its columns.
#include "python.hpp"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "common/bits.hpp"
#include "layout/columns.hpp"

namespace fieldpack::layout {

namespace {

constexpr std::string_view kFunction = "Layout.unpack_file";

// An error raised while cleaning up gives way to the one already raised.
class PendingError {
 public:
  PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() {
    if (!type_) return;
    PyErr_Clear();
    PyErr_Restore(type_, value_, traceback_);
  }
  bool any() const { return type_ != nullptr; }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Whether the pending exception is one that says "the file cannot tell": it is then cleared.
bool cannot_tell() {
  if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_OSError) ||
      PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

std::string message_start() {
  std::string message(kFunction);
  message += "() ";
  return message;
}

PyObject* raise_partial(std::uint64_t stride, std::uint64_t bytes) {
  std::string message = message_start();
  message += "requires a file of a multiple of ";
  append_decimal(message, stride);
  message += " bytes, not ";
  append_decimal(message, bytes);
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// The file: opened here from a path (and closed here), or the caller's binary file, read from
// where it stands and left open.
class Archive {
 public:
  Archive() = default;
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  bool open(PyObject* path_or_file) {
    const bool is_path = PyUnicode_Check(path_or_file) || PyBytes_Check(path_or_file) ||
                         PyObject_HasAttrString(path_or_file, "__fspath__");
    if (is_path) {
      PyRef io = PyRef::steal(PyImport_ImportModule("io"));
      if (!io) return false;
      // Unbuffered: chunks are read straight into the chunk buffer.
      file_ = PyRef::steal(PyObject_CallMethod(io.get(), "open", "(Osi)", path_or_file, "rb", 0));
      if (!file_) return false;
      owned_ = true;
    } else {
      file_ = PyRef::borrow(path_or_file);
    }
    readinto_ = PyRef::steal(PyObject_GetAttrString(file_.get(), "readinto"));
    if (!readinto_) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      read_ = PyRef::steal(PyObject_GetAttrString(file_.get(), "read"));
      if (!read_) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        std::string message = message_start();
        message += "argument 'path_or_file' must be a path or a binary file, not ";
        message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(path_or_file)));
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
      }
    }
    return true;
  }

  // The bytes from the reading position to the end when the file is a regular file that tells
  // its position; nothing when it cannot tell (a pipe, a socket, an object of Python's own).
  bool bytes_left(std::optional<std::uint64_t>& left) {
    left.reset();
    PyRef fileno = PyRef::steal(PyObject_CallMethod(file_.get(), "fileno", nullptr));
    if (!fileno) return cannot_tell();
    const long descriptor = PyLong_AsLong(fileno.get());
    if (descriptor == -1 && PyErr_Occurred()) return cannot_tell();
    struct stat status {};
    if (fstat(static_cast<int>(descriptor), &status) != 0 || !S_ISREG(status.st_mode)) return true;
    PyRef tell = PyRef::steal(PyObject_CallMethod(file_.get(), "tell", nullptr));
    if (!tell) return cannot_tell();
    const long long position = PyLong_AsLongLong(tell.get());
    if (position == -1 && PyErr_Occurred()) return cannot_tell();
    const auto size = static_cast<long long>(status.st_size);
    left = static_cast<std::uint64_t>(size > position ? size - position : 0);
    return true;
  }

  // Fills `chunk` (a bytearray) from byte `from` to byte `to`, or to the end of the file; the
  // bytes read, or -1 with the host's error set.
  long long fill(PyObject* chunk, PyObject* memory, std::uint64_t from, std::uint64_t to) {
    std::uint64_t at = from;
    while (at < to) {
      const std::uint64_t want = to - at;
      std::uint64_t got = 0;
      if (readinto_) {
        PyRef slice = PyRef::steal(
            PySequence_GetSlice(memory, static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(to)));
        if (!slice) return -1;
        PyRef count =
            PyRef::steal(PyObject_CallFunctionObjArgs(readinto_.get(), slice.get(), nullptr));
        if (!count) return -1;
        if (count.get() == Py_None) {
          PyErr_SetString(PyExc_BlockingIOError,
                          "Layout.unpack_file() read a non-blocking file that had no data ready");
          return -1;
        }
        const long long n = PyLong_AsLongLong(count.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n < 0 || static_cast<std::uint64_t>(n) > want) {
          PyErr_Format(PyExc_ValueError,
                       "Layout.unpack_file(): the file's readinto() returned %lld, not 0 to %llu",
                       n, static_cast<unsigned long long>(want));
          return -1;
        }
        got = static_cast<std::uint64_t>(n);
      } else {
        PyRef data =
            PyRef::steal(PyObject_CallFunction(read_.get(), "(n)", static_cast<Py_ssize_t>(want)));
        if (!data) return -1;
        Py_buffer view;
        if (PyUnicode_Check(data.get()) ||
            PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) {
          if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
          PyErr_Clear();
          std::string message = message_start();
          message += "read ";
          message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(data.get())));
          message += " from the file, not bytes: open it in binary mode";
          PyErr_SetString(PyExc_TypeError, message.c_str());
          return -1;
        }
        got = static_cast<std::uint64_t>(view.len);
        if (got > want) {
          PyBuffer_Release(&view);
          PyErr_Format(PyExc_ValueError,
                       "Layout.unpack_file(): the file's read() gave %llu bytes, not 0 to %llu",
                       static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
          return -1;
        }
        if (got > 0) {
          std::memcpy(PyByteArray_AS_STRING(chunk) + at, view.buf, static_cast<std::size_t>(got));
        }
        PyBuffer_Release(&view);
      }
      if (got == 0) break;  // the end of the file
      at += got;
    }
    return static_cast<long long>(at - from);
  }

  // Closes the file if it was opened here; false with the host's error set.
  bool close() {
    if (!owned_ || !file_) return true;
    owned_ = false;
    PyRef done = PyRef::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
    return static_cast<bool>(done);
  }

 private:
  PyRef file_;
  PyRef readinto_;
  PyRef read_;
  bool owned_ = false;
};

// What the caller asked to see of the progress: nothing, calls of its function, a tqdm bar, or a
// plain line on stderr.
class Progress {
 public:
  Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool start(PyObject* progress, std::optional<std::uint64_t> total) {
    total_ = total;
    if (progress == Py_None || progress == Py_False) return true;
    if (progress != Py_True) {
      callback_ = PyRef::borrow(progress);
      return report(0);
    }
    PyRef tqdm = PyRef::steal(PyImport_ImportModule("tqdm"));
    if (!tqdm) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
      PyErr_Clear();
      return start_line();
    }
    PyRef keywords =
        PyRef::steal(Py_BuildValue("{s:O,s:s,s:O,s:s}", "total", total_object().get(), "unit",
                                   "packet", "unit_scale", Py_True, "desc", "unpack_file"));
    PyRef make = PyRef::steal(PyObject_GetAttrString(tqdm.get(), "tqdm"));
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!keywords || !make || !empty) return false;
    bar_ = PyRef::steal(PyObject_Call(make.get(), empty.get(), keywords.get()));
    return static_cast<bool>(bar_);
  }

  bool report(std::uint64_t done) {
    const std::uint64_t delta = done - done_;
    done_ = done;
    if (callback_) {
      PyRef total = total_object();
      if (!total) return false;
      PyRef result = PyRef::steal(PyObject_CallFunction(
          callback_.get(), "(KO)", static_cast<unsigned long long>(done), total.get()));
      return static_cast<bool>(result);
    }
    if (bar_) {
      PyRef result = PyRef::steal(
          PyObject_CallMethod(bar_.get(), "update", "(K)", static_cast<unsigned long long>(delta)));
      return static_cast<bool>(result);
    }
    if (stderr_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_line_ < (tty_ ? std::chrono::milliseconds(200) : std::chrono::seconds(5))) {
        return true;
      }
      last_line_ = now;
      return write_line(false);
    }
    return true;
  }

  // The bar closed; the last line written when the whole file was read.
  bool finish(bool whole) {
    if (bar_) {
      PyRef bar = std::move(bar_);
      return static_cast<bool>(PyRef::steal(PyObject_CallMethod(bar.get(), "close", nullptr)));
    }
    if (stderr_) {
      const bool written = !whole || write_line(true);
      stderr_.reset();
      return written;
    }
    return true;
  }

 private:
  PyRef total_object() const {
    if (!total_) return PyRef::borrow(Py_None);
    return PyRef::steal(PyLong_FromUnsignedLongLong(*total_));
  }

  bool start_line() {
    stderr_ = PyRef::borrow(PySys_GetObject("stderr"));
    if (!stderr_ || stderr_.get() == Py_None) {
      stderr_.reset();
      return true;
    }
    PyRef tty = PyRef::steal(PyObject_CallMethod(stderr_.get(), "isatty", nullptr));
    tty_ = tty && PyObject_IsTrue(tty.get()) == 1;
    if (PyErr_Occurred()) PyErr_Clear();
    last_line_ = std::chrono::steady_clock::now();
    return true;
  }

  // "unpack_file: 131072 of 200000 packets (65%)", over the last one on a terminal.
  bool write_line(bool last) {
    std::string line = tty_ ? "\runpack_file: " : "unpack_file: ";
    append_decimal(line, done_);
    if (total_) {
      line += " of ";
      append_decimal(line, *total_);
      line += " packets (";
      append_decimal(line, *total_ == 0 ? 100 : done_ * 100 / *total_);
      line += "%)";
    } else {
      line += " packets";
    }
    if (last) line += ", done";
    if (!tty_ || last) line += '\n';
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
    if (!text) return false;
    PyRef written = PyRef::steal(PyObject_CallMethod(stderr_.get(), "write", "(O)", text.get()));
    if (!written) return false;
    PyRef flushed = PyRef::steal(PyObject_CallMethod(stderr_.get(), "flush", nullptr));
    return static_cast<bool>(flushed);
  }

  std::optional<std::uint64_t> total_;
  std::uint64_t done_ = 0;
  PyRef callback_;
  PyRef bar_;
  PyRef stderr_;
  bool tty_ = false;
  std::chrono::steady_clock::time_point last_line_{};
};

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
  Archive archive;
  Progress progress;
  PyObject* result = nullptr;
  if (archive.open(path_or_file)) {
    result = read_archive(plan, archive, progress, stride, numpy, chunk_packets, progress_argument);
  }
  // Closing the bar and the file whatever happened; their own errors count only when nothing
  // else went wrong.
  PendingError pending;
  const bool finished = progress.finish(result != nullptr);
  const bool closed = archive.close();
  if (!pending.any() && (!finished || !closed)) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

}  // namespace fieldpack::layout
