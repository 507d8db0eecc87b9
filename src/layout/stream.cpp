// A stream's calls: the walk over each piece of the stream without the interpreter lock, then per
// layout its packets gathered side by side (the first `need` bytes of each, so that they are
// packets of one stride to the column decoders) and decoded, or its whole packets joined. Pieces
// are the whole buffer where the host pins it, else private copies of it a window at a time, or a
// file's chunks; a packet that a piece holds only in part waits for the next one.
#include "layout/stream.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "common/bits.hpp"
#include "engine_result.hpp"
#include "host.hpp"
#include "layout/file_reading.hpp"

namespace fieldpack::layout {

namespace {

constexpr std::uint64_t kNotFailed = std::numeric_limits<std::uint64_t>::max();
// The largest Python object of bytes.
constexpr auto kLargestObject = static_cast<std::uint64_t>(PY_SSIZE_T_MAX);

// The interpreter lock given up for the life of the guard, and taken back on the way out.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

PyRef integer_object(std::uint64_t pattern, bool is_signed) {
  if (is_signed) return PyRef::steal(PyLong_FromLongLong(static_cast<long long>(pattern)));
  return PyRef::steal(PyLong_FromUnsignedLongLong(pattern));
}

// A key as the summary names it: an int, or a tuple of ints for several key fields.
PyRef key_object(const core::KeyValues& values, const std::vector<bool>& signed_keys) {
  if (values.size() == 1) return integer_object(values[0], signed_keys[0]);
  PyRef key = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!key) return PyRef();
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyRef item = integer_object(values[i], signed_keys[i]);
    if (!item) return PyRef();
    PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return key;
}

bool set_count(PyObject* dict, PyObject* key, std::uint64_t count) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// What one call makes of the stream, piece by piece.
class Run {
 public:
  Run(const StreamDefinition& stream, const StreamCall& call)
      : stream_(stream), call_(call), walk_(*stream.table) {}

  // False with the host's error set.
  bool start();

  // Walks one piece of the stream (`data[0, size)`, from byte `base` of it) and makes what the
  // call wants of its packets. No Python code can change or free `data` meanwhile: the host pins
  // it, or it is a private copy. False with the host's error set: the first packet that failed
  // to decode, in stream order, or whatever else failed.
  bool piece(const std::uint8_t* data, std::uint64_t size, std::uint64_t base, bool at_end,
             core::WalkStop& stop);

  bool lost() const { return walk_.lost(); }

  // The StreamResult, with its summary; a StreamWarning issued when the walk was not clean.
  PyObject* finish();

 private:
  // Per layout, what the pieces made of it.
  struct Collected {
    std::vector<std::vector<PyRef>> parts;  // per column: one piece's column after the other
    std::uint64_t decoded = 0;
  };

  bool decode_piece(const std::uint8_t* data, std::uint64_t base);
  bool decode_layout(std::size_t index, const std::uint8_t* data, std::uint64_t base,
                     std::uint64_t& failed_at);
  bool join_piece(const std::uint8_t* data, std::uint64_t base);
  PyRef joined(std::size_t index, std::size_t column) const;
  PyRef empty_column(std::size_t index, std::size_t column) const;
  PyRef summary() const;

  std::size_t extra_columns() const {
    return std::size_t{stream_.tail.get() != Py_None} + std::size_t{call_.offsets};
  }

  const StreamDefinition& stream_;
  const StreamCall& call_;
  core::StreamWalk walk_;
  PyRef numpy_;
  std::vector<Collected> collected_;
};

bool Run::start() {
  const std::size_t layouts = stream_.layouts.size();
  if (call_.offsets) {
    // The offsets go under "offset": a name no field or tail of any layout may have.
    for (const StreamLayout& layout : stream_.layouts) {
      bool clash = stream_.tail.get() != Py_None &&
                   PyUnicode_CompareWithASCIIString(stream_.tail.get(), "offset") == 0;
      for (std::size_t c = 0; c < layout.columns.size() && !clash; ++c) {
        clash = PyUnicode_CompareWithASCIIString(layout.columns.key(c), "offset") == 0;
      }
      if (clash) {
        std::string message(call_.function);
        message += "() offsets=True adds a column 'offset', which the layout of key ";
        message += layout.key_text;
        message += " already has";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
      }
    }
  }
  if (call_.output == StreamOutput::columns && call_.numpy) {
    numpy_ = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy_) return false;
  }
  collected_.resize(layouts);
  for (std::size_t k = 0; k < layouts; ++k) {
    const std::size_t columns = call_.output == StreamOutput::bytes
                                    ? 1
                                    : stream_.layouts[k].columns.size() + extra_columns();
    collected_[k].parts.resize(columns);
  }
  return true;
}

bool Run::piece(const std::uint8_t* data, std::uint64_t size, std::uint64_t base, bool at_end,
                core::WalkStop& stop) {
  bool out_of_memory = false;
  {
    Unlocked unlocked;
    try {
      stop = walk_.walk(data, size, base, at_end);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  const bool made =
      call_.output == StreamOutput::columns ? decode_piece(data, base) : join_piece(data, base);
  walk_.clear_packets();
  return made;
}

bool Run::decode_piece(const std::uint8_t* data, std::uint64_t base) {
  std::optional<HostError> first;
  std::uint64_t first_at = kNotFailed;
  for (std::size_t k = 0; k < stream_.layouts.size(); ++k) {
    std::uint64_t failed_at = kNotFailed;
    if (decode_layout(k, data, base, failed_at)) continue;
    // A packet that failed to decode: the first in stream order is raised, once every layout's
    // packets of the piece have been looked at. Anything else (exhausted memory, an interrupt)
    // is raised at once.
    if (failed_at == kNotFailed || !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    if (failed_at < first_at) {
      first = take_host_error();
      first_at = failed_at;
    } else {
      PyErr_Clear();
    }
  }
  if (!first) return true;
  PyErr_Restore(first->type.release(), first->value.release(), first->traceback.release());
  return false;
}

bool Run::decode_layout(std::size_t index, const std::uint8_t* data, std::uint64_t base,
                        std::uint64_t& failed_at) {
  const StreamLayout& layout = stream_.layouts[index];
  Collected& collected = collected_[index];
  std::vector<core::StreamPacket> packets;
  std::vector<std::uint64_t> starts;
  for (const core::StreamPacket& packet : walk_.packets(index)) {
    if (packet.length < layout.need) continue;
    packets.push_back(packet);
    starts.push_back(packet.offset);
  }
  const std::uint64_t count = packets.size();
  if (count == 0) return true;
  if (count > kLargestObject / layout.stride) {
    PyErr_NoMemory();
    return false;
  }
  PyRef gathered = PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * layout.stride)));
  if (!gathered) return false;
  {
    Unlocked unlocked;
    core::gather(data, base, packets, layout.need, layout.stride,
                 reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(gathered.get())));
  }

  const ColumnSet& columns = layout.columns;
  const std::size_t column_count = columns.size();
  ColumnOutputs outputs;
  if (!outputs.make(columns, numpy_.get(), count)) return false;
  std::vector<PyRef>& objects = outputs.objects;
  PacketOrigin origin{call_.function, collected.decoded, 0,
                      starts.data(),  layout.key_text,   &failed_at};
  if (!decode_columns(columns, gathered.get(), count, layout.stride, outputs.targets, 0, origin)) {
    return false;
  }
  outputs.release_memory();

  std::size_t column = column_count;
  if (stream_.tail.get() != Py_None) {
    PyRef tails = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!tails) return false;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const core::StreamPacket& packet = packets[i];
      PyObject* tail = PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(data + (packet.offset - base) + layout.need),
          static_cast<Py_ssize_t>(packet.length - layout.need));
      if (!tail) return false;
      PyList_SET_ITEM(tails.get(), static_cast<Py_ssize_t>(i), tail);
    }
    objects.push_back(std::move(tails));
    ++column;
  }
  if (call_.offsets) {
    PyRef offsets;
    if (numpy_) {
      offsets = new_array(numpy_.get(), ColumnType::u64, count);
      ArrayMemory memory;
      if (!offsets || !memory.acquire(offsets.get(), count * sizeof(std::uint64_t))) return false;
      std::memcpy(memory.data(), starts.data(),
                  static_cast<std::size_t>(count * sizeof(std::uint64_t)));
    } else {
      offsets = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!offsets) return false;
      for (std::size_t i = 0; i < starts.size(); ++i) {
        PyObject* start = PyLong_FromUnsignedLongLong(starts[i]);
        if (!start) return false;
        PyList_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(i), start);
      }
    }
    objects.push_back(std::move(offsets));
    ++column;
  }
  for (std::size_t c = 0; c < column; ++c) collected.parts[c].push_back(std::move(objects[c]));
  collected.decoded += count;
  return true;
}

bool Run::join_piece(const std::uint8_t* data, std::uint64_t base) {
  for (std::size_t k = 0; k < stream_.layouts.size(); ++k) {
    const std::vector<core::StreamPacket>& packets = walk_.packets(k);
    if (packets.empty()) continue;
    std::uint64_t total = 0;
    for (const core::StreamPacket& packet : packets) total += packet.length;
    if (total > kLargestObject) {
      PyErr_NoMemory();
      return false;
    }
    PyRef joined = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!joined) return false;
    {
      Unlocked unlocked;
      char* out = PyBytes_AS_STRING(joined.get());
      for (const core::StreamPacket& packet : packets) {
        std::memcpy(out, data + (packet.offset - base), static_cast<std::size_t>(packet.length));
        out += packet.length;
      }
    }
    collected_[k].parts[0].push_back(std::move(joined));
  }
  return true;
}

// A column that no piece filled: empty, of the type the column always has.
PyRef Run::empty_column(std::size_t index, std::size_t column) const {
  const StreamLayout& layout = stream_.layouts[index];
  if (call_.output == StreamOutput::bytes) return PyRef::steal(PyBytes_FromStringAndSize("", 0));
  if (numpy_) {
    if (column < layout.columns.size() && layout.columns.type(column) != ColumnType::text) {
      return new_array(numpy_.get(), layout.columns.type(column), 0);
    }
    const bool is_offsets = call_.offsets && column + 1 == layout.columns.size() + extra_columns();
    if (is_offsets) return new_array(numpy_.get(), ColumnType::u64, 0);
  }
  return PyRef::steal(PyList_New(0));
}

PyRef Run::joined(std::size_t index, std::size_t column) const {
  const std::vector<PyRef>& parts = collected_[index].parts[column];
  if (parts.empty()) return empty_column(index, column);
  if (parts.size() == 1) return PyRef::borrow(parts[0].get());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
  if (!list) return PyRef();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    PyRef::borrow(parts[i].get()).release());
  }
  if (call_.output == StreamOutput::bytes) {
    PyRef empty = PyRef::steal(PyBytes_FromStringAndSize("", 0));
    if (!empty) return PyRef();
    return PyRef::steal(PyObject_CallMethod(empty.get(), "join", "(O)", list.get()));
  }
  if (PyList_Check(parts[0].get())) {
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return PyRef();
    for (const PyRef& part : parts) {
      const Py_ssize_t end = PyList_GET_SIZE(all.get());
      if (PyList_SetSlice(all.get(), end, end, part.get()) < 0) return PyRef();
    }
    return all;
  }
  return PyRef::steal(PyObject_CallMethod(numpy_.get(), "concatenate", "(O)", list.get()));
}

PyRef Run::summary() const {
  PyRef counts[5];
  for (PyRef& dict : counts) {
    dict = PyRef::steal(PyDict_New());
    if (!dict) return PyRef();
  }
  for (std::size_t k = 0; k < stream_.layouts.size(); ++k) {
    const core::LayoutTally& tally = walk_.tallies()[k];
    PyObject* key = stream_.layouts[k].key.get();
    const std::uint64_t values[5] = {tally.packets, tally.short_packets, tally.gaps, tally.repeats,
                                     tally.segmented};
    for (std::size_t i = 0; i < 5; ++i) {
      if (!set_count(counts[i].get(), key, values[i])) return PyRef();
    }
  }
  PyRef unknown = PyRef::steal(PyDict_New());
  if (!unknown) return PyRef();
  for (const auto& [values, count] : walk_.unknown()) {
    PyRef key = key_object(values, stream_.signed_keys);
    if (!key || !set_count(unknown.get(), key.get(), count)) return PyRef();
  }
  PyRef idle = PyRef::steal(PyLong_FromUnsignedLongLong(walk_.idle()));
  PyRef truncated = PyRef::steal(PyLong_FromUnsignedLongLong(walk_.truncated()));
  PyRef lost = walk_.lost() ? PyRef::steal(PyLong_FromUnsignedLongLong(walk_.lost_at()))
                            : PyRef::borrow(Py_None);
  if (!idle || !truncated || !lost) return PyRef();
  PyRef keywords = PyRef::steal(Py_BuildValue(
      "{s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "packets", counts[0].get(), "short", counts[1].get(),
      "gaps", counts[2].get(), "repeats", counts[3].get(), "segmented", counts[4].get(), "unknown",
      unknown.get(), "idle", idle.get(), "truncated", truncated.get(), "lost_sync", lost.get()));
  PyRef module = PyRef::steal(PyImport_ImportModule("fieldpack_layout._stream"));
  PyRef type =
      PyRef::steal(module ? PyObject_GetAttrString(module.get(), "StreamSummary") : nullptr);
  PyRef empty = PyRef::steal(PyTuple_New(0));
  if (!keywords || !type || !empty) return PyRef();
  return PyRef::steal(PyObject_Call(type.get(), empty.get(), keywords.get()));
}

PyObject* Run::finish() {
  PyRef items = PyRef::steal(PyDict_New());
  if (!items) return nullptr;
  for (std::size_t k = 0; k < stream_.layouts.size(); ++k) {
    const StreamLayout& layout = stream_.layouts[k];
    PyRef value;
    if (call_.output == StreamOutput::bytes) {
      value = joined(k, 0);
    } else {
      value = PyRef::steal(PyDict_New());
      if (!value) return nullptr;
      const std::size_t fields = layout.columns.size();
      for (std::size_t c = 0; c < fields + extra_columns(); ++c) {
        PyRef column = joined(k, c);
        if (!column) return nullptr;
        PyObject* name = nullptr;
        if (c < fields) {
          name = layout.columns.key(c);
        } else if (c == fields && stream_.tail.get() != Py_None) {
          name = stream_.tail.get();
        }
        int set = 0;
        if (name) {
          set = PyDict_SetItem(value.get(), name, column.get());
        } else {
          set = PyDict_SetItemString(value.get(), "offset", column.get());
        }
        if (set < 0) return nullptr;
      }
    }
    if (!value || PyDict_SetItem(items.get(), layout.key.get(), value.get()) < 0) return nullptr;
  }
  PyRef summary = this->summary();
  if (!summary) return nullptr;
  PyRef module = PyRef::steal(PyImport_ImportModule("fieldpack_layout._stream"));
  if (!module) return nullptr;
  PyRef result = PyRef::steal(
      PyObject_CallMethod(module.get(), "StreamResult", "(OO)", items.get(), summary.get()));
  if (!result) return nullptr;
  PyRef problems = PyRef::steal(PyObject_CallMethod(summary.get(), "problems", nullptr));
  if (!problems) return nullptr;
  const int unclean = PyObject_IsTrue(problems.get());
  if (unclean < 0) return nullptr;
  if (unclean) {
    PyRef function = PyRef::steal(PyUnicode_FromStringAndSize(
        call_.function.data(), static_cast<Py_ssize_t>(call_.function.size())));
    PyRef text = PyRef::steal(function ? PyObject_CallMethod(module.get(), "_warning_text", "(OO)",
                                                             function.get(), summary.get())
                                       : nullptr);
    PyRef category = PyRef::steal(PyObject_GetAttrString(module.get(), "StreamWarning"));
    if (!text || !category) return nullptr;
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (!utf8 || PyErr_WarnEx(category.get(), utf8, 1) < 0) return nullptr;
  }
  return result.release();
}

// A view of a buffer, released when this goes.
class HeldView {
 public:
  HeldView() = default;
  HeldView(const HeldView&) = delete;
  HeldView& operator=(const HeldView&) = delete;
  ~HeldView() { release(); }

  bool acquire(PyObject* object) {
    release();
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
      PyErr_SetString(PyExc_BufferError, "the buffer is not C-contiguous");
      return false;
    }
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::uint64_t size() const { return static_cast<std::uint64_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A buffer that a view does not keep from being resized, walked on private copies of it, a
// window at a time; the window grows to hold the largest packet.
bool walk_copies(Run& run, PyObject* buffer) {
  std::vector<std::uint8_t> copy;
  std::uint64_t position = 0;
  std::uint64_t window = kStreamChunkBytes;
  while (true) {
    HeldView view;
    if (!view.acquire(buffer)) return false;
    if (view.size() < position) {
      PyErr_SetString(PyExc_BufferError, "the buffer was resized while its packets were decoded");
      return false;
    }
    const std::uint64_t size = std::min(window, view.size() - position);
    const bool at_end = position + size == view.size();
    copy.assign(view.data() + position, view.data() + position + size);
    view.release();
    core::WalkStop stop;
    if (!run.piece(copy.data(), size, position, at_end, stop)) return false;
    if (at_end || run.lost()) return true;
    position += stop.consumed;
    window = std::max(window, stop.wanted);
  }
}

// The file's chunks: read into a bytearray, walked in place where a view of it (held here, so
// readinto's slices of it cannot resize it) pins it, else from a copy.
PyObject* read_stream(Run& run, Archive& archive, Progress& progress, std::uint64_t chunk_bytes,
                      PyObject* progress_argument) {
  std::optional<std::uint64_t> left;
  if (!archive.bytes_left(left)) return nullptr;
  if (!run.start()) return nullptr;
  std::uint64_t capacity = chunk_bytes;
  // A file known to be smaller gets a chunk of its size (a byte at least, to see its end).
  if (left && *left < capacity) capacity = std::max<std::uint64_t>(*left, 1);
  PyRef chunk;
  PyRef memory;
  auto make_chunk = [&](std::uint64_t size, std::uint64_t keep) {
    if (size > kLargestObject) {
      PyErr_NoMemory();
      return false;
    }
    PyRef made =
        PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!made) return false;
    if (keep > 0) {
      std::memcpy(PyByteArray_AS_STRING(made.get()), PyByteArray_AS_STRING(chunk.get()),
                  static_cast<std::size_t>(keep));
    }
    memory = PyRef::steal(PyMemoryView_FromObject(made.get()));
    if (!memory) return false;
    chunk = std::move(made);
    return true;
  };
  if (!make_chunk(capacity, 0)) return nullptr;
  if (!progress.start(progress_argument, left)) return nullptr;

  std::vector<std::uint8_t> copy;
  std::uint64_t filled = 0;  // bytes of the chunk that hold the stream from byte `base` on
  std::uint64_t base = 0;
  while (true) {
    const long long got = archive.fill(chunk.get(), memory.get(), filled, capacity);
    if (got < 0) return nullptr;
    const bool at_end = filled + static_cast<std::uint64_t>(got) < capacity;
    filled += static_cast<std::uint64_t>(got);
    // Python code ran in readinto(): where it could have resized the chunk, it is looked at
    // again, and walked from a copy.
    if (static_cast<std::uint64_t>(PyByteArray_GET_SIZE(chunk.get())) < filled) {
      PyErr_SetString(PyExc_BufferError, "the file's readinto() resized the chunk it was given");
      return nullptr;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(chunk.get()));
    if constexpr (!host::kViewsPinBuffers) {
      copy.assign(data, data + filled);
      data = copy.data();
    }
    core::WalkStop stop;
    if (!run.piece(data, filled, base, at_end, stop)) return nullptr;
    if (!progress.report(base + filled)) return nullptr;
    if (at_end || run.lost()) break;
    const std::uint64_t keep = filled - stop.consumed;
    if (static_cast<std::uint64_t>(PyByteArray_GET_SIZE(chunk.get())) < filled) {
      PyErr_SetString(PyExc_BufferError, "the chunk was resized while its packets were decoded");
      return nullptr;
    }
    char* bytes = PyByteArray_AS_STRING(chunk.get());
    if (keep > 0) std::memmove(bytes, bytes + stop.consumed, static_cast<std::size_t>(keep));
    base += stop.consumed;
    filled = keep;
    // A packet longer than the chunk: a new chunk twice as long, or as long as the packet,
    // whichever is shorter (a length read from damaged bytes could claim any size; the file's
    // end says what is really there).
    if (stop.wanted > capacity) {
      capacity = std::min(stop.wanted, 2 * capacity);
      if (!make_chunk(capacity, keep)) return nullptr;
    }
  }
  return run.finish();
}

}  // namespace

PyObject* stream_buffer(const StreamDefinition& stream, PyObject* buffer, const StreamCall& call) {
  Run run(stream, call);
  core::WalkStop stop;
  if (PyBytes_CheckExact(buffer)) {
    if (!run.start()) return nullptr;
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(buffer));
    if (!run.piece(data, static_cast<std::uint64_t>(PyBytes_GET_SIZE(buffer)), 0, true, stop)) {
      return nullptr;
    }
    return run.finish();
  }
  HeldView view;
  if (!view.acquire(buffer) || !run.start()) return nullptr;
  if constexpr (host::kViewsPinBuffers) {
    if (!run.piece(view.data(), view.size(), 0, true, stop)) return nullptr;
  } else {
    view.release();
    if (!walk_copies(run, buffer)) return nullptr;
  }
  return run.finish();
}

PyObject* stream_file(const StreamDefinition& stream, PyObject* path_or_file,
                      const StreamCall& call, std::uint64_t chunk_bytes, PyObject* progress) {
  Archive archive(call.function);
  Progress reporter({"Stream.unpack_file", "B", "bytes", true});
  Run run(stream, call);
  PyObject* result = nullptr;
  if (archive.open(path_or_file)) {
    result = read_stream(run, archive, reporter, chunk_bytes, progress);
  }
  return closed_result(result, reporter, archive);
}

}  // namespace fieldpack::layout
