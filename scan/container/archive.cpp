// Archives and compressed files through libarchive: each kind opened with its own format (and
// filter) alone, so that a damaged archive is never read as something else; the members of a
// file (or spill) are read by position, those of a nested stream straight from its parent.
#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "walker.h"

namespace container::detail {

namespace {

// libarchive gives names in the thread's locale: a UTF-8 name (zip's flag, pax) that the C locale
// cannot hold would come back as nothing. Its header reading therefore runs in C.UTF-8, for this
// thread only; names stored without a charset come back as the bytes they are.
class Utf8Names {
 public:
  Utf8Names() {
    static locale_t s_utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (s_utf8) m_prev = uselocale(s_utf8);
  }
  ~Utf8Names() {
    if (m_prev) uselocale(m_prev);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t m_prev = static_cast<locale_t>(0);
};

struct Input {
  Source src;
  uint64_t pos = 0;
  uint64_t atBase = 0;    // a file's bytes from here on (a run of a zip)
  bool bEndMark = false;  // an empty zip's end record after them: a zip's reader of local headers
                          // stops there (whole, since it reads ahead past a member's data)
  uint8_t ab[kChunk];
  bool bParentStopped = false;  // the parent member failed or reached a limit: its to record
  uint64_t Size() const { return src.cb + (bEndMark ? sizeof kEndMark : 0); }
  static constexpr uint8_t kEndMark[22] = {'P', 'K', 5, 6};
};

la_ssize_t ReadInput(struct archive* a, void* pv, const void** ppBuf) {
  Input* in = static_cast<Input*>(pv);
  *ppBuf = in->ab;
  if (in->src.fd < 0) {
    ptrdiff_t n = in->src.pReader->Read(in->ab, sizeof in->ab);
    if (n < 0) {
      in->bParentStopped = true;
      archive_set_error(a, EIO, "The member holding it could not be read on");
      return ARCHIVE_FATAL;
    }
    return n;
  }
  if (in->pos >= in->src.cb) {
    if (in->pos >= in->Size()) return 0;
    size_t cb = static_cast<size_t>(in->Size() - in->pos);
    std::memcpy(in->ab, Input::kEndMark + (sizeof Input::kEndMark - cb), cb);
    in->pos += cb;
    return static_cast<la_ssize_t>(cb);
  }
  uint64_t cbLeft = in->src.cb - in->pos;
  size_t cb = cbLeft < sizeof in->ab ? static_cast<size_t>(cbLeft) : sizeof in->ab;
  for (;;) {
    ssize_t n = pread(in->src.fd, in->ab, cb, static_cast<off_t>(in->atBase + in->pos));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      archive_set_error(a, errno, "%s", std::strerror(errno));
      return ARCHIVE_FATAL;
    }
    in->pos += static_cast<uint64_t>(n);
    return n;
  }
}

la_int64_t SkipInput(struct archive*, void* pv, la_int64_t request) {
  Input* in = static_cast<Input*>(pv);
  uint64_t cbLeft = in->Size() - in->pos;
  uint64_t cb = request < 0 ? 0 : static_cast<uint64_t>(request);
  if (cb > cbLeft) cb = cbLeft;
  in->pos += cb;
  return static_cast<la_int64_t>(cb);
}

la_int64_t SeekInput(struct archive* a, void* pv, la_int64_t offset, int whence) {
  Input* in = static_cast<Input*>(pv);
  int64_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? static_cast<int64_t>(in->pos)
                                      : static_cast<int64_t>(in->src.cb);
  int64_t at = base + offset;
  if (offset > INT64_MAX - base || at < 0) {
    archive_set_error(a, EINVAL, "Seek outside the archive");
    return ARCHIVE_FATAL;
  }
  in->pos = static_cast<uint64_t>(at) > in->src.cb ? in->src.cb : static_cast<uint64_t>(at);
  return static_cast<la_int64_t>(in->pos);
}

// Sets up the reader for one kind. False when this libarchive would need an outside program for
// it (it then answers ARCHIVE_WARN), which is never started.
bool Configure(struct archive* a, Kind kind, bool bByPosition) {
  int r = ARCHIVE_OK;
  switch (kind) {
    case Kind::kZip:
      r = bByPosition ? archive_read_support_format_zip_seekable(a)
                      : archive_read_support_format_zip_streamable(a);
      break;
    case Kind::kTar:
      r = archive_read_support_format_tar(a);
      break;
    case Kind::k7z:
      r = archive_read_support_format_7zip(a);
      break;
    case Kind::kCab:
      r = archive_read_support_format_cab(a);
      break;
    case Kind::kRar:
      r = archive_read_support_format_rar(a);
      if (r == ARCHIVE_OK) r = archive_read_support_format_rar5(a);
      break;
    case Kind::kIso9660:
      r = archive_read_support_format_iso9660(a);
      break;
    case Kind::kGzip:
    case Kind::kBzip2:
    case Kind::kXz:
    case Kind::kZstd:
      r = kind == Kind::kGzip    ? archive_read_support_filter_gzip(a)
          : kind == Kind::kBzip2 ? archive_read_support_filter_bzip2(a)
          : kind == Kind::kXz    ? archive_read_support_filter_xz(a)
                                 : archive_read_support_filter_zstd(a);
      // A compressed stream is one member; a tar in it is found by its content (Walker::Member),
      // never by libarchive's bid, which takes leading zero blocks for an empty tar.
      if (r == ARCHIVE_OK) r = archive_read_support_format_raw(a);
      break;
    default:
      return false;
  }
  return r == ARCHIVE_OK;
}

bool LooksEncrypted(const char* szError) {
  return szError && (std::strstr(szError, "ncrypt") || std::strstr(szError, "assword"));
}

class EntryStream : public MemberStream {
 public:
  EntryStream(struct archive* a, struct archive_entry* e, Kind kind, bool bCheapSkip,
              const bool* pbParentStopped)
      : m_a(a),
        m_e(e),
        m_kind(kind),
        m_bCheapSkip(bCheapSkip),
        m_pbParentStopped(pbParentStopped) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    la_ssize_t n = archive_read_data(m_a, pb, cb);
    if (n >= 0) return static_cast<ptrdiff_t>(n);
    m_bFatal = n == ARCHIVE_FATAL;
    const char* sz = archive_error_string(m_a);
    m_sError = std::string("Damaged ") + KindName(m_kind) + ": " + (sz ? sz : "read failed");
    m_bEncrypted = archive_entry_is_data_encrypted(m_e) > 0 || LooksEncrypted(sz);
    return -1;
  }
  std::string Error() const override { return m_sError; }
  bool Encrypted() const override { return m_bEncrypted; }
  bool SkipIsCheap() const override { return m_bCheapSkip; }
  Kind ContainerKind() const override { return m_kind; }
  bool ParentFailed() const override { return *m_pbParentStopped; }
  bool Fatal() const { return m_bFatal; }

 private:
  struct archive* m_a;
  struct archive_entry* m_e;
  Kind m_kind;
  bool m_bCheapSkip;
  const bool* m_pbParentStopped;
  bool m_bFatal = false;
  bool m_bEncrypted = false;
  std::string m_sError;
};

// The name a member of a single compressed stream goes by.
std::string StreamName(Walker* pWalker, const Source& src, const std::string& sName) {
  uint8_t ab[1024];
  size_t cb = 0;
  if (src.fd >= 0) {
    ssize_t n = pread(src.fd, ab, sizeof ab, 0);
    cb = n > 0 ? static_cast<size_t>(n) : 0;
  } else {
    const std::vector<uint8_t>& head = src.pReader->Head();
    cb = head.size() < sizeof ab ? head.size() : sizeof ab;
    if (cb) std::memcpy(ab, head.data(), cb);
  }
  return StreamMemberName(GzipStoredName(ab, cb), sName.empty() ? pWalker->FileName() : sName);
}

// Records why the reader a, over in, failed as a whole, at outer under sName.
void RecordFailure(Walker* pWalker, struct archive* a, const Input* in, bool bOpened, Kind kind,
                   const std::string& sName, const Place& outer, const char* szWhat) {
  if (in->bParentStopped) return;  // the parent's limit or failure, recorded with it
  const char* sz = archive_error_string(a);
  // (archive_read_has_encrypted_entries() needs a format chosen: only once opened)
  if (LooksEncrypted(sz) || (bOpened && archive_read_has_encrypted_entries(a) > 0))
    pWalker->RecordEncrypted(outer, sName, kind);
  else
    pWalker->Record(outer, sName, kind, Why::kDamaged,
                    std::string("Damaged ") + KindName(kind) + ": " + (sz ? sz : szWhat));
}

// A new reader of kind over in, its input callbacks set; nullptr (the failure recorded) when this
// build has none.
struct archive* NewReader(Walker* pWalker, Input* in, Kind kind, bool bSeekable,
                          const std::string& sName, const Place& outer) {
  struct archive* a = archive_read_new();
  if (!a || !Configure(a, kind, bSeekable)) {
    pWalker->Record(outer, sName, kind, Why::kDamaged,
                    std::string("No reader for ") + KindName(kind) + " in this build");
    if (a) archive_read_free(a);
    return nullptr;
  }
  archive_read_set_read_callback(a, ReadInput);
  if (in->src.fd >= 0) {
    archive_read_set_skip_callback(a, SkipInput);
    if (bSeekable) archive_read_set_seek_callback(a, SeekInput);
  }
  archive_read_set_callback_data(a, in);
  return a;
}

int Open(struct archive* a) {
  Utf8Names utf8;
  return archive_read_open1(a);
}

// How the entries of one zip are walked: it is stopped past MaxFiles of them, as clamd stops a
// zip (its parent goes on); those a reader of local headers found beyond its central directory
// are noted so.
struct Entries {
  uint64_t n = 0;
  bool bLimited = false;  // MaxFiles of them were walked
  bool bHidden = false;
};

// Walks the opened reader's entries, each regular one a member at place. True when it came to
// their end; false when it failed (recorded at outer), or a limit or the walk stopped it.
bool WalkEntries(Walker* pWalker, struct archive* a, Input* in, Kind kind, bool bCheapSkip,
                 const std::string& sName, const Place& place, const Place& outer,
                 Entries* pEntries) {
  const Source& src = in->src;
  const uint32_t nMaxFiles = pWalker->options().limits.nMaxFiles;
  struct archive_entry* e = nullptr;
  while (!pWalker->Stopped()) {
    int r;
    std::string sMember;
    {
      Utf8Names utf8;
      r = archive_read_next_header(a, &e);
      if (r >= ARCHIVE_WARN && r != ARCHIVE_EOF && archive_format(a) != ARCHIVE_FORMAT_RAW) {
        const char* sz = archive_entry_pathname(e);
        if (!sz) sz = archive_entry_pathname_utf8(e);
        sMember = sz ? sz : "";
      }
    }
    if (r == ARCHIVE_EOF) return true;
    if (r < ARCHIVE_WARN) {
      RecordFailure(pWalker, a, in, true, kind, sName, outer, "damaged header");
      return false;
    }
    if (archive_entry_filetype(e) != AE_IFREG || archive_entry_hardlink(e)) continue;
    if (archive_format(a) == ARCHIVE_FORMAT_RAW) sMember = StreamName(pWalker, src, sName);
    if (kind == Kind::kZip && nMaxFiles != 0 && pEntries->n >= nMaxFiles) {
      pWalker->RecordLimit(place, sMember, Limit::kMaxFiles, 0);
      pEntries->bLimited = true;
      return false;
    }
    ++pEntries->n;
    if (pEntries->bHidden) pWalker->RecordHidden(place, sMember);
    if (archive_entry_is_data_encrypted(e) > 0) {
      if (pWalker->Count(sMember, place) && pWalker->Look(sMember, place))
        pWalker->RecordEncrypted(place, sMember, kind);
      continue;
    }
    uint64_t cbDeclared = archive_entry_size_is_set(e) && archive_entry_size(e) >= 0
                              ? static_cast<uint64_t>(archive_entry_size(e))
                              : kUnknownSize;
    EntryStream stream(a, e, kind, bCheapSkip, &in->bParentStopped);
    pWalker->Member(
        &stream, sMember, cbDeclared, place,
        archive_format(a) == ARCHIVE_FORMAT_RAW ? Walker::Role::kStream : Walker::Role::kPlain);
    if (stream.Fatal() || in->bParentStopped) return false;
  }
  return false;
}

// The members of the zip in src (by position, its end end) that its central directory leaves
// out: each run of local headers it does not account for read by a reader of local headers, up
// to where the next member it lists begins, and each member found noted.
void WalkHidden(Walker* pWalker, const Source& src, const ZipEnd& end, const std::string& sName,
                const Place& place, const Place& outer, Entries* pEntries) {
  std::vector<Span> spans;
  if (HiddenSpans(src.fd, src.cb, end, &spans) == Layout::kTooMany)
    pWalker->Record(outer, sName, Kind::kZip, Why::kLimit,
                    "Zip not compared with its local headers: too many entries");
  pEntries->bHidden = true;
  for (const Span& span : spans) {
    if (pWalker->Stopped() || pEntries->bLimited) break;
    auto in = std::make_unique<Input>();
    in->src.fd = src.fd;
    in->src.cb = span.cb;
    in->atBase = span.at;
    in->bEndMark = true;
    struct archive* a = NewReader(pWalker, in.get(), Kind::kZip, false, sName, outer);
    if (!a) break;
    if (Open(a) != ARCHIVE_OK)
      RecordFailure(pWalker, a, in.get(), false, Kind::kZip, sName, outer, "cannot be opened");
    else
      WalkEntries(pWalker, a, in.get(), Kind::kZip, false, sName, place, outer, pEntries);
    archive_read_free(a);
  }
}

}  // namespace

void WalkArchive(Walker* pWalker, const Source& srcIn, Kind kind, const std::string& sName,
                 const Place& place) {
  // Problems of the container itself are recorded where it lies: one level up.
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  Source src = srcIn;
  bool bByPosition = src.fd >= 0;
  ZipEnd end;
  bool bEnd = false;
  if (kind == Kind::kZip && bByPosition) {
    bEnd = FindZipEnd(src.cb, ReadFrom(src.fd), &end);
    // What follows the zip (a signature appended to a self-extracting program) is no part of it,
    // and libarchive looks for the end record in the last 16 KiB alone.
    if (bEnd) src.cb = end.cbZip;
  }
  auto in = std::make_unique<Input>();
  in->src = src;
  Entries entries;
  // A zip without its central directory (cut short) is read again from its local headers, so
  // that what it holds is still judged.
  for (int iTry = 0; iTry < 2; ++iTry) {
    bool bStreamed = iTry == 1;
    in->pos = 0;
    struct archive* a = NewReader(pWalker, in.get(), kind, bByPosition && !bStreamed, sName, outer);
    if (!a) break;
    bool bCheapSkip = bByPosition && !bStreamed &&
                      (kind == Kind::kZip || kind == Kind::kTar || kind == Kind::kIso9660);
    if (Open(a) != ARCHIVE_OK) {
      bool bAgain = kind == Kind::kZip && bByPosition && !bStreamed && !in->bParentStopped;
      if (bAgain)
        pWalker->Record(
            outer, sName, kind, Why::kDamaged,
            "Damaged zip: no central directory (members read from their local headers)");
      else
        RecordFailure(pWalker, a, in.get(), false, kind, sName, outer, "cannot be opened");
      archive_read_free(a);
      if (bAgain) continue;
      break;
    }
    bool bWhole =
        WalkEntries(pWalker, a, in.get(), kind, bCheapSkip, sName, place, outer, &entries);
    archive_read_free(a);
    // What the central directory leaves out, a reader of local headers finds: so must we.
    if (bWhole && bEnd && !bStreamed && !pWalker->Stopped())
      WalkHidden(pWalker, src, end, sName, place, outer, &entries);
    break;
  }
}

}  // namespace container::detail
