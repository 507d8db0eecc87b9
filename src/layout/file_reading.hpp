// Reading a file of packets chunk by chunk, and reporting the progress of it: shared by the
// archives of a layout (Layout.unpack_file) and of a stream (Stream.unpack_file). Python-aware.
#pragma once

#include "python.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>

#include "boundary.hpp"
#include "common/bits.hpp"
#include "py_ref.hpp"

namespace fieldpack::layout {

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

// The file: opened here from a path (and closed here), or the caller's binary file, read from
// where it stands and left open.
// An int that a file's method returned, taken by __index__ alone, as on every Python: 3.9's
// PyLong_AsLongLong would also take a float, by __int__ (a readinto() answering 1.5 would then
// read a byte at each call, forever). -1 with the host's error set on failure.
inline long long file_int(PyObject* object) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  return index ? PyLong_AsLongLong(index.get()) : -1;
}

class Archive {
 public:
  // `function` names the caller in messages ("Layout.unpack_file").
  explicit Archive(std::string_view function) : function_(function) {}
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
    const long long descriptor = file_int(fileno.get());
    if (descriptor == -1 && PyErr_Occurred()) return cannot_tell();
    struct stat status {};
    if (descriptor < 0 || descriptor > std::numeric_limits<int>::max() ||
        fstat(static_cast<int>(descriptor), &status) != 0 || !S_ISREG(status.st_mode)) {
      return true;
    }
    PyRef tell = PyRef::steal(PyObject_CallMethod(file_.get(), "tell", nullptr));
    if (!tell) return cannot_tell();
    const long long position = file_int(tell.get());
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
          std::string message = message_start();
          message += "read a non-blocking file that had no data ready";
          PyErr_SetString(PyExc_BlockingIOError, message.c_str());
          return -1;
        }
        const long long n = file_int(count.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n < 0 || static_cast<std::uint64_t>(n) > want) {
          PyErr_Format(PyExc_ValueError, "%s(): the file's readinto() returned %lld, not 0 to %llu",
                       function_.c_str(), n, static_cast<unsigned long long>(want));
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
          PyErr_Format(PyExc_ValueError, "%s(): the file's read() gave %llu bytes, not 0 to %llu",
                       function_.c_str(), static_cast<unsigned long long>(got),
                       static_cast<unsigned long long>(want));
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
  std::string message_start() const { return function_ + "() "; }

  // Whether the pending exception is one that says "the file cannot tell": it is then cleared.
  static bool cannot_tell() {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_OSError) ||
        PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return true;
    }
    return false;
  }

  std::string function_;
  PyRef file_;
  PyRef readinto_;
  PyRef read_;
  bool owned_ = false;
};

// What a progress report counts, and how its bar and line name it.
struct ProgressUnits {
  const char* description;  // the bar's and the line's label: "unpack_file"
  const char* unit;         // tqdm's unit: "packet", "B"
  std::string_view plural;  // the line's word: "packets", "bytes"
  bool binary = false;      // tqdm scales by 1024 rather than 1000
};

// What the caller asked to see of the progress: nothing, calls of its function, a tqdm bar, or a
// plain line on stderr.
class Progress {
 public:
  explicit Progress(const ProgressUnits& units) : units_(units) {}
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
    PyRef total_count = total_object();
    if (!total_count) return false;
    PyRef keywords =
        PyRef::steal(Py_BuildValue("{s:O,s:s,s:O,s:s}", "total", total_count.get(), "unit",
                                   units_.unit, "unit_scale", Py_True, "desc", units_.description));
    if (keywords && units_.binary) {
      PyRef divisor = PyRef::steal(PyLong_FromLong(1024));
      if (!divisor || PyDict_SetItemString(keywords.get(), "unit_divisor", divisor.get()) < 0) {
        return false;
      }
    }
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
    std::string line = tty_ ? "\r" : "";
    line += units_.description;
    line += ": ";
    append_decimal(line, done_);
    if (total_) {
      line += " of ";
      append_decimal(line, *total_);
      line += ' ';
      line += units_.plural;
      line += " (";
      append_decimal(line, *total_ == 0 ? 100 : done_ * 100 / *total_);
      line += "%)";
    } else {
      line += ' ';
      line += units_.plural;
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

  ProgressUnits units_;
  std::optional<std::uint64_t> total_;
  std::uint64_t done_ = 0;
  PyRef callback_;
  PyRef bar_;
  PyRef stderr_;
  bool tty_ = false;
  std::chrono::steady_clock::time_point last_line_{};
};

// A file's decode ends here whatever happened: the bar and the file are closed, and their own
// errors count only when nothing else went wrong. `result` (owned) or null.
inline PyObject* closed_result(PyObject* result, Progress& progress, Archive& archive) {
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
