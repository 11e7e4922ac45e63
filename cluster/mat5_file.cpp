#include "cluster/mat5_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace cluster {
namespace {

constexpr uint64_t kHeaderBytes = 128;
// deflate never shrinks data by more than about 1032 to 1 (its longest match, 258 bytes, in one
// bit-pair of the best codes): a compressed variable declaring more is damaged.
constexpr uint64_t kMostInflation = 1032;

uint32_t swap32(uint32_t v) {
  return __builtin_bswap32(v);
}

uint32_t word(const unsigned char *p, bool swapped) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return swapped ? swap32(v) : v;
}

std::string errno_text() {
  return std::strerror(errno);
}

// pread until n bytes are in or the file ends; the count read.
uint64_t read_fully(int fd, void *out, uint64_t n, uint64_t offset) {
  unsigned char *p = static_cast<unsigned char *>(out);
  uint64_t done = 0;
  while (done < n) {
    const size_t ask = static_cast<size_t>(std::min<uint64_t>(n - done, uint64_t{1} << 30));
    const ssize_t got = pread(fd, p + done, ask, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("cannot read it: " + errno_text());
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return done;
}

uint64_t padded(uint64_t bytes) {
  return (bytes + 7) / 8 * 8;
}

template <typename T>
T load(const unsigned char *p, bool swapped) {
  T v;
  if (!swapped) {
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  unsigned char b[sizeof(T)];
  for (size_t k = 0; k < sizeof(T); ++k) b[k] = p[sizeof(T) - 1 - k];
  std::memcpy(&v, b, sizeof v);
  return v;
}

template <typename T>
void convert(const unsigned char *raw, size_t count, bool swapped, double *out) {
  if (!swapped) {
    const T *v = reinterpret_cast<const T *>(raw);
    if constexpr (std::is_same_v<T, double>) {
      if (static_cast<const void *>(v) != static_cast<const void *>(out)) std::memmove(out, v, count * sizeof(double));
      return;
    }
    // Backwards, so that a conversion in place from a narrower type never overwrites a value not
    // yet read.
    for (size_t k = count; k-- > 0;) {
      T x;
      std::memcpy(&x, raw + k * sizeof(T), sizeof x);
      out[k] = static_cast<double>(x);
    }
    return;
  }
  for (size_t k = count; k-- > 0;) out[k] = static_cast<double>(load<T>(raw + k * sizeof(T), true));
}

}  // namespace

size_t mat5_width(uint32_t type) {
  switch (type) {
    case kMiInt8:
    case kMiUint8:
      return 1;
    case kMiInt16:
    case kMiUint16:
      return 2;
    case kMiInt32:
    case kMiUint32:
    case kMiSingle:
      return 4;
    case kMiDouble:
    case kMiInt64:
    case kMiUint64:
      return 8;
    default:
      return 0;
  }
}

void to_doubles(uint32_t type, bool swapped, const void *raw_in, size_t count, double *out) {
  const unsigned char *raw = static_cast<const unsigned char *>(raw_in);
  switch (type) {
    case kMiInt8:
      return convert<int8_t>(raw, count, swapped, out);
    case kMiUint8:
      return convert<uint8_t>(raw, count, swapped, out);
    case kMiInt16:
      return convert<int16_t>(raw, count, swapped, out);
    case kMiUint16:
      return convert<uint16_t>(raw, count, swapped, out);
    case kMiInt32:
      return convert<int32_t>(raw, count, swapped, out);
    case kMiUint32:
      return convert<uint32_t>(raw, count, swapped, out);
    case kMiSingle:
      return convert<float>(raw, count, swapped, out);
    case kMiDouble:
      return convert<double>(raw, count, swapped, out);
    case kMiInt64:
      return convert<int64_t>(raw, count, swapped, out);
    case kMiUint64:
      return convert<uint64_t>(raw, count, swapped, out);
    default:
      throw std::logic_error("to_doubles: not a numeric type");
  }
}

bool to_indices(uint32_t type, bool swapped, const void *raw_in, size_t count, int64_t *out) {
  const unsigned char *raw = static_cast<const unsigned char *>(raw_in);
  const size_t width = mat5_width(type);
  for (size_t k = 0; k < count; ++k) {
    const unsigned char *p = raw + k * width;
    switch (type) {
      case kMiInt8:
        out[k] = load<int8_t>(p, swapped);
        break;
      case kMiUint8:
        out[k] = load<uint8_t>(p, swapped);
        break;
      case kMiInt16:
        out[k] = load<int16_t>(p, swapped);
        break;
      case kMiUint16:
        out[k] = load<uint16_t>(p, swapped);
        break;
      case kMiInt32:
        out[k] = load<int32_t>(p, swapped);
        break;
      case kMiUint32:
        out[k] = load<uint32_t>(p, swapped);
        break;
      case kMiInt64:
        out[k] = load<int64_t>(p, swapped);
        break;
      case kMiUint64: {
        const uint64_t v = load<uint64_t>(p, swapped);
        if (v > static_cast<uint64_t>(INT64_MAX)) return false;
        out[k] = static_cast<int64_t>(v);
        break;
      }
      case kMiDouble:
      case kMiSingle: {
        const double v = type == kMiDouble ? load<double>(p, swapped) : load<float>(p, swapped);
        if (!(v >= 0 && v < 9.2e18) || v != std::floor(v)) return false;
        out[k] = static_cast<int64_t>(v);
        break;
      }
      default:
        return false;
    }
    if (out[k] < 0) return false;
  }
  return true;
}

MatFileKind mat_file_kind(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return MatFileKind::kNotMat;
  unsigned char header[kHeaderBytes];
  const uint64_t got = read_fully(fd, header, kHeaderBytes, 0);
  ::close(fd);
  if (got < kHeaderBytes) return MatFileKind::kNotMat;
  const bool little = header[126] == 'I' && header[127] == 'M', big = header[126] == 'M' && header[127] == 'I';
  if (!little && !big) return MatFileKind::kNotMat;
  const unsigned version = little ? header[124] | (header[125] << 8) : (header[124] << 8) | header[125];
  if (version == 0x0100) return MatFileKind::kLevel5;
  if (version == 0x0200) return MatFileKind::kHdf5;
  return MatFileKind::kNotMat;
}

// ---- FileBytes -------------------------------------------------------------------------------

FileBytes::FileBytes(int fd, uint64_t begin, uint64_t length, uint64_t file_size, std::string what)
    : fd_(fd), begin_(begin), length_(length), what_(std::move(what)) {
  if (begin > file_size || length > file_size - begin)
    throw DamagedFile(what_ + " declares " + std::to_string(length) + " bytes but the file ends " +
                      std::to_string(begin > file_size ? 0 : file_size - begin) + " bytes after its start");
}

void FileBytes::read_at(uint64_t offset, void *out, uint64_t n) {
  if (offset > length_ || n > length_ - offset)
    throw DamagedFile(what_ + " holds " + std::to_string(length_) + " bytes, fewer than its contents declare");
  if (read_fully(fd_, out, n, begin_ + offset) != n)
    throw DamagedFile(what_ + " ends early: the file was cut short while it was read");
  read_ += n;
}

void FileBytes::read(void *out, uint64_t n) {
  read_at(at_, out, n);
  at_ += n;
}

void FileBytes::skip(uint64_t n) {
  if (n > length_ - at_)
    throw DamagedFile(what_ + " holds " + std::to_string(length_) + " bytes, fewer than its contents declare");
  at_ += n;
}

// ---- InflatedBytes ---------------------------------------------------------------------------

// Ends the stream however the reader ends, also when its constructor throws.
struct InflatedBytes::Stream {
  z_stream z{};
  bool open = false;
  ~Stream() {
    if (open) inflateEnd(&z);
  }
};

InflatedBytes::InflatedBytes(int fd, uint64_t begin, uint64_t compressed, std::string what)
    : z_(std::make_unique<Stream>()), fd_(fd), begin_(begin), compressed_(compressed), what_(std::move(what)) {
  if (inflateInit(&z_->z) != Z_OK) throw std::bad_alloc();
  z_->open = true;
  input_.resize(static_cast<size_t>(std::min<uint64_t>(compressed_, uint64_t{1} << 18)) + 1);
  // The stream starts with the matrix element's tag: the length it declares bounds everything
  // read after it.
  unsigned char tag[8];
  length_ = 8;  // the tag itself may be read
  inflate_into(tag, 8);
  at_ = 0;
  inner_type_ = word(tag, false);
  length_ = word(tag + 4, false);
}

InflatedBytes::~InflatedBytes() = default;

void InflatedBytes::inflate_into(unsigned char *out, uint64_t n) {
  z_stream &z = z_->z;
  while (n > 0) {
    if (ended_)
      throw DamagedFile(what_ + ": its compressed data end " + std::to_string(n) +
                        " bytes before the length its header declares");
    if (z.avail_in == 0 && fed_ < compressed_) {
      const uint64_t take = std::min<uint64_t>(compressed_ - fed_, input_.size());
      const uint64_t got = read_fully(fd_, input_.data(), take, begin_ + fed_);
      if (got != take) throw DamagedFile(what_ + ": the file was cut short while it was read");
      fed_ += got;
      z.next_in = input_.data();
      z.avail_in = static_cast<uInt>(got);
    }
    const uInt ask = static_cast<uInt>(std::min<uint64_t>(n, uint64_t{1} << 30));
    z.next_out = out;
    z.avail_out = ask;
    const int rc = inflate(&z, Z_NO_FLUSH);
    const uint64_t made = ask - z.avail_out;
    out += made;
    n -= made;
    at_ += made;
    if (rc == Z_STREAM_END) {
      ended_ = true;
      continue;
    }
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed_ == compressed_)
      throw DamagedFile(what_ + ": its compressed data stop before the stream ends (the file is cut short)");
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    throw DamagedFile(what_ + ": its compressed data are damaged (zlib: " + (z.msg ? z.msg : "error") + ")");
  }
}

void InflatedBytes::read(void *out, uint64_t n) {
  if (n > length_ - at_)
    throw DamagedFile(what_ + " holds " + std::to_string(length_) + " bytes, fewer than its contents declare");
  inflate_into(static_cast<unsigned char *>(out), n);
}

void InflatedBytes::skip(uint64_t n) {
  if (n > length_ - at_)
    throw DamagedFile(what_ + " holds " + std::to_string(length_) + " bytes, fewer than its contents declare");
  unsigned char scratch[1 << 16];
  while (n > 0) {
    const uint64_t k = std::min<uint64_t>(n, sizeof scratch);
    inflate_into(scratch, k);
    n -= k;
  }
}

void InflatedBytes::finish() {
  skip(length_ - at_);
  if (ended_) return;
  // The element is complete: the stream must end here, which is where zlib checks its checksum.
  unsigned char extra;
  z_stream &z = z_->z;
  for (;;) {
    if (z.avail_in == 0 && fed_ < compressed_) {
      const uint64_t take = std::min<uint64_t>(compressed_ - fed_, input_.size());
      const uint64_t got = read_fully(fd_, input_.data(), take, begin_ + fed_);
      if (got != take) throw DamagedFile(what_ + ": the file was cut short while it was read");
      fed_ += got;
      z.next_in = input_.data();
      z.avail_in = static_cast<uInt>(got);
    }
    z.next_out = &extra;
    z.avail_out = 1;
    const int rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_STREAM_END && z.avail_out == 1) return;
    if (z.avail_out == 0)
      throw DamagedFile(what_ + ": its compressed data hold more than the length its header declares");
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed_ == compressed_)
      throw DamagedFile(what_ + ": its compressed data stop before the stream ends (the file is cut short)");
    throw DamagedFile(what_ + ": its compressed data are damaged (zlib: " + (z.msg ? z.msg : "error") + ")");
  }
}

// ---- tags and headers ------------------------------------------------------------------------

Mat5Tag read_tag(ByteStream &s, bool swapped) {
  unsigned char raw[8];
  s.read(raw, 8);
  Mat5Tag t;
  const uint32_t first = word(raw, swapped);
  if ((first >> 16) != 0) {
    t.small = true;
    t.type = first & 0xffff;
    t.bytes = first >> 16;
    if (t.bytes > 4) throw DamagedFile("a small data element declares " + std::to_string(t.bytes) + " bytes");
    std::memcpy(t.small_data, raw + 4, 4);
    return t;
  }
  t.type = first;
  t.bytes = word(raw + 4, swapped);
  return t;
}

void skip_padding(ByteStream &s, uint64_t bytes) {
  s.skip(padded(bytes) - bytes);
}

uint64_t NumberRun::bytes() const {
  return count * mat5_width(type);
}

uint64_t Mat5Variable::numel() const {
  uint64_t n = 1;
  for (uint64_t d : dims) n *= d;
  return n;
}

namespace {

// Reads a subelement's data of at most `limit` bytes into a vector (the flags, the dimensions,
// the name: all small).
std::vector<unsigned char> small_subelement(ByteStream &s, bool swapped, uint32_t want_type, const char *what,
                                            uint64_t limit) {
  const Mat5Tag t = read_tag(s, swapped);
  if (want_type != 0 && t.type != want_type)
    throw DamagedFile(std::string("its ") + what + (std::strcmp(what, "name") == 0 ? " is" : " are") +
                      " stored as type " + std::to_string(t.type));
  if (t.small) return std::vector<unsigned char>(t.small_data, t.small_data + t.bytes);
  if (t.bytes > limit) throw DamagedFile(std::string("its ") + what + " declare " + std::to_string(t.bytes) + " bytes");
  std::vector<unsigned char> data(static_cast<size_t>(t.bytes));
  s.read(data.data(), t.bytes);
  skip_padding(s, t.bytes);
  return data;
}

// The header of a matrix element (flags, dimensions, name) and the tag of its first data
// subelement, from a stream at the element's start.
void read_header(ByteStream &s, bool swapped, Mat5Variable &v) {
  const std::vector<unsigned char> flags = small_subelement(s, swapped, kMiUint32, "array flags", 64);
  if (flags.size() < 8) throw DamagedFile("its array flags hold " + std::to_string(flags.size()) + " bytes, not 8");
  const uint32_t f = word(flags.data(), swapped);
  v.array_class = static_cast<int>(f & 0xff);
  v.complex = (f & 0x0800) != 0;
  v.logical = (f & 0x0200) != 0;
  v.nzmax = word(flags.data() + 4, swapped);
  if (v.array_class == kMxCell || v.array_class == kMxStruct || v.array_class > 17 || v.array_class == 0) {
    // Not a numeric array: its name and dimensions are still read for the message.
  }
  const std::vector<unsigned char> dims = small_subelement(s, swapped, kMiInt32, "dimensions", 4096);
  if (dims.size() < 8 || dims.size() % 4 != 0)
    throw DamagedFile("its dimensions hold " + std::to_string(dims.size()) + " bytes");
  uint64_t numel = 1;
  for (size_t k = 0; k < dims.size(); k += 4) {
    const int32_t d = static_cast<int32_t>(word(dims.data() + k, swapped));
    if (d < 0) throw DamagedFile("a dimension is negative (" + std::to_string(d) + ")");
    v.dims.push_back(static_cast<uint64_t>(d));
    if (__builtin_mul_overflow(numel, static_cast<uint64_t>(d), &numel))
      throw DamagedFile("its dimensions multiply beyond any file's size");
  }
  // Every writer stores the name as 8-bit characters; another type is a damaged tag.
  const std::vector<unsigned char> name = small_subelement(s, swapped, kMiInt8, "name", 4096);
  v.name.assign(name.begin(), name.end());
  v.has_first = false;
  if (s.position() == s.length()) return;  // an empty array may stop here
  const Mat5Tag first = read_tag(s, swapped);
  v.first = NumberRun{};
  v.first.type = first.type;
  v.first.small = first.small;
  // A few bytes of data in the tag itself lie in the tag's second word.
  v.first.offset = first.small ? s.position() - 4 : s.position();
  std::memcpy(v.first.inline_data, first.small_data, 4);
  const size_t width = mat5_width(first.type);
  if (width == 0) {
    if (v.array_class == kMxDouble || v.array_class == kMxSingle || v.array_class == kMxSparse ||
        (v.array_class >= 8 && v.array_class <= 15))
      throw DamagedFile("its numbers are stored as type " + std::to_string(first.type));
    return;
  }
  if (first.bytes % width != 0)
    throw DamagedFile("its data hold " + std::to_string(first.bytes) + " bytes, not a whole number of values");
  if (!first.small && first.bytes > s.length() - s.position())
    throw DamagedFile("its data declare " + std::to_string(first.bytes) + " bytes but the variable holds " +
                      std::to_string(s.length() - s.position()));
  v.first.count = first.bytes / width;
  v.has_first = true;
}

}  // namespace

// ---- Mat5File --------------------------------------------------------------------------------

Mat5File::Mat5File(const std::string &path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open it: " + errno_text());
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    const std::string why = errno_text();
    ::close(fd_);
    throw std::runtime_error("cannot read it: " + why);
  }
  size_ = static_cast<uint64_t>(st.st_size);
  unsigned char header[kHeaderBytes];
  if (read_fully(fd_, header, kHeaderBytes, 0) != kHeaderBytes) {
    ::close(fd_);
    throw DamagedFile("it is shorter than a MAT file's header");
  }
  swapped_ = header[126] == 'M' && header[127] == 'I';
  try {
    uint64_t at = kHeaderBytes;
    while (at < size_) {
      if (size_ - at < 8)
        throw DamagedFile("it ends inside the tag of a variable, " + std::to_string(at) + " bytes in");
      FileBytes tag_bytes(fd_, at, 8, size_, "a variable's tag");
      const Mat5Tag tag = read_tag(tag_bytes, swapped_);
      if (tag.small) throw DamagedFile("a variable's tag, " + std::to_string(at) + " bytes in, is malformed");
      const uint64_t start = at + 8;
      if (tag.bytes > size_ - start)
        throw DamagedFile("a variable " + std::to_string(at) + " bytes in declares " + std::to_string(tag.bytes) +
                          " bytes but the file ends " + std::to_string(size_ - start) + " bytes later");
      Mat5Variable v;
      v.offset = start;
      v.stored = tag.bytes;
      if (tag.type == kMiMatrix) {
        if (tag.bytes > 0) {
          FileBytes s(fd_, start, tag.bytes, size_, "the variable " + std::to_string(at) + " bytes in");
          read_header(s, swapped_, v);
        }
        at = start + padded(tag.bytes);
      } else if (tag.type == kMiCompressed) {
        v.compressed = true;
        InflatedBytes s(fd_, start, tag.bytes, "the compressed variable " + std::to_string(at) + " bytes in");
        if (s.inner_type() != kMiMatrix)
          throw DamagedFile("a compressed variable holds an element of type " + std::to_string(s.inner_type()));
        if (s.length() > kMostInflation * tag.bytes + 4096)
          throw DamagedFile("a compressed variable of " + std::to_string(tag.bytes) + " bytes declares " +
                            std::to_string(s.length()) + " bytes inflated, more than zlib can compress that far");
        if (s.length() > 0) read_header(s, swapped_, v);
        at = start + tag.bytes;
      } else {
        at = start + padded(tag.bytes);  // another kind of element: not a variable
        continue;
      }
      const bool numeric =
          v.array_class == kMxDouble || v.array_class == kMxSingle || (v.array_class >= 8 && v.array_class <= 15);
      // An empty size with values stored is as damaged as a size the values do not fill.
      const uint64_t stored = v.has_first ? v.first.count : 0;
      if (numeric && stored != v.numel()) {
        const std::string sizes =
            "'" + v.name + "' declares " + std::to_string(v.numel()) + " values but stores " + std::to_string(stored);
        // Octave saves a sparse logical array so (a full logical header over the sparse data), and
        // its own load misreads the file.
        if (v.logical)
          throw DamagedFile(sizes + ": it is marked logical, as Octave's save writes a sparse logical array; " +
                            "save double(" + v.name + ") instead");
        throw DamagedFile(sizes);
      }
      variables_.push_back(std::move(v));
    }
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

Mat5File::~Mat5File() {
  if (fd_ >= 0) ::close(fd_);
}

const Mat5Variable *Mat5File::find(const std::string &name) const {
  for (const Mat5Variable &v : variables_)
    if (v.name == name) return &v;
  return nullptr;
}

std::unique_ptr<ByteStream> Mat5File::open(const Mat5Variable &v) const {
  std::unique_ptr<ByteStream> s;
  if (v.compressed)
    s = std::make_unique<InflatedBytes>(fd_, v.offset, v.stored, "the variable");
  else
    s = std::make_unique<FileBytes>(fd_, v.offset, v.stored, size_, "the variable");
  Mat5Variable again;
  read_header(*s, swapped_, again);
  return s;
}

}  // namespace cluster
