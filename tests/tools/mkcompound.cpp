// mkcompound: compound files that hold documents, built by the document builder, for the tests of
// their walk (tests/container_inputs.py calls it).
//
//   mkcompound docs OUTDIR                       the fixed set below, into OUTDIR
//   mkcompound msg OUT NAME FILE [NAME FILE...]  a mail (.msg) attaching each FILE as NAME
//   mkcompound package OUT NAME FILE             a compound file whose root's Ole10Native
//                                                stream packages FILE as NAME
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "docbuilder.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

Bytes Utf16(const std::string& s) {
  Bytes b;
  for (char c : s) {
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
  }
  return b;
}

void Put32(Bytes* p, uint32_t x) {
  for (int i = 0; i < 4; ++i) p->push_back(static_cast<uint8_t>(x >> 8 * i));
}

zmdoc::DocSpec Doc(const std::vector<std::string>& names) {
  zmdoc::DocSpec spec;
  for (const std::string& name : names) spec.macros.push_back(zmdoc::HarmlessMacro(name));
  return spec;
}

// Macro.Word.Concept.a by its names; a clean document with one harmless macro.
zmdoc::DocSpec Concept() { return Doc({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}); }
zmdoc::DocSpec Clean() { return Doc({"AutoOpen"}); }

// Entries of a compound file, laid out by the builder with directory positions from 1 on.
class Tree {
 public:
  int Storage(const std::string& name, int parent = 0) { return Add(name, 1, {}, parent); }
  int Stream(const std::string& name, Bytes data, int parent = 0) {
    return Add(name, 2, std::move(data), parent);
  }
  // The builder's spec: a WordDocument stream of its own from root (null: none).
  zmdoc::DocSpec Spec(const zmdoc::DocSpec* pRoot) const {
    zmdoc::DocSpec spec = pRoot ? *pRoot : zmdoc::DocSpec();
    if (!pRoot) spec.streamName.clear();
    spec.wordDocIndex = m_next;
    spec.extraEntries.insert(spec.extraEntries.end(), m_entries.begin(), m_entries.end());
    return spec;
  }

 private:
  int Add(const std::string& name, uint8_t type, Bytes data, int parent) {
    zmdoc::EntrySpec e;
    e.name = Wide(name);
    e.type = type;
    e.data = std::move(data);
    e.index = m_next;
    e.parent = parent;
    m_entries.push_back(std::move(e));
    return m_next++;
  }
  std::vector<zmdoc::EntrySpec> m_entries;
  int m_next = 1;
};

Bytes WordDocument(const zmdoc::DocSpec& spec) { return zmdoc::WordDocumentEntry(spec).data; }

// OLE1's package: size of the rest, u16 2, the label, the source path, u32 0x00030000, the
// temporary path's length and the path, the data's size and the data.
Bytes Package(const std::string& name, const Bytes& data) {
  Bytes b = {2, 0};
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(0);
  const std::string path = "C:\\TEMP\\" + name;
  b.insert(b.end(), path.begin(), path.end());
  b.push_back(0);
  Put32(&b, 0x00030000);
  Put32(&b, static_cast<uint32_t>(path.size() + 1));
  b.insert(b.end(), path.begin(), path.end());
  b.push_back(0);
  Put32(&b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  Bytes out;
  Put32(&out, static_cast<uint32_t>(b.size()));
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// A mail's properties and subject, then each attachment: its properties, file name and data.
void Message(Tree* pTree, int parent, const std::string& subject,
             const std::vector<std::pair<std::string, Bytes>>& files) {
  pTree->Stream("__properties_version1.0", Bytes(32, 0), parent);
  pTree->Stream("__substg1.0_0037001F", Utf16(subject), parent);
  char sz[48];
  // The other properties a mail has (sender, recipients, body, ...): a real mail's directory
  // fills the library's one block of 32 entries, so that it reads no attachment's bytes as
  // entries of it.
  for (unsigned k = 0; k < 30; ++k) {
    std::snprintf(sz, sizeof sz, "__substg1.0_%04X001F", 0x0C00 + k);
    pTree->Stream(sz, Utf16("property"), parent);
  }
  for (size_t i = 0; i < files.size(); ++i) {
    std::snprintf(sz, sizeof sz, "__attach_version1.0_#%08X", static_cast<unsigned>(i));
    int a = pTree->Storage(sz, parent);
    pTree->Stream("__properties_version1.0", Bytes(16, 0), a);
    pTree->Stream("__substg1.0_3707001F", Utf16(files[i].first), a);
    pTree->Stream("__substg1.0_37010102", files[i].second, a);
  }
}

bool Write(const std::string& path, const zmdoc::DocSpec& spec) {
  Bytes b = zmdoc::BuildWord6(spec);
  if (b.empty() || !zmdoc::WriteFile(path, b)) {
    std::fprintf(stderr, "mkcompound: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool Docs(const std::string& dir) {
  const Bytes concept = zmdoc::BuildWord6(Concept()), clean = zmdoc::BuildWord6(Clean());
  const zmdoc::DocSpec cleanSpec = Clean();
  zmdoc::DocSpec word97 = Clean();
  word97.word97 = true;
  bool ok = true;
  auto objectPool = [&](const std::string& name, const zmdoc::DocSpec& root, const Bytes& wd) {
    Tree t;
    int pool = t.Storage("ObjectPool");
    int object = t.Storage("_1234", pool);
    t.Stream(
        "\x01"
        "CompObj",
        Bytes(100, 0x11), object);
    t.Stream("WordDocument", wd, object);
    ok &= Write(dir + "/" + name, t.Spec(&root));
  };
  // A clean document holding an infected one, and a clean one; an infected document holding a
  // clean one listed first (its own stream is the one judged); Word 97 documents holding a Word 6
  // one and a Word 97 one (nothing we judge: still SKIPPED).
  objectPool("embedded-infected.doc", Clean(), WordDocument(Concept()));
  objectPool("embedded-clean.doc", Clean(), WordDocument(Clean()));
  objectPool("infected-embeds-clean.doc", Concept(), WordDocument(Clean()));
  objectPool("word97-embeds-infected.doc", word97, WordDocument(Concept()));
  objectPool("word97-embeds-word97.doc", word97, WordDocument(word97));
  {
    // Two levels: a clean embedded document whose own ObjectPool holds the infected one.
    Tree t;
    int pool = t.Storage("ObjectPool");
    int outer = t.Storage("_1", pool);
    t.Stream("WordDocument", WordDocument(Clean()), outer);
    int inner = t.Storage("_2", t.Storage("ObjectPool", outer));
    t.Stream("WordDocument", WordDocument(Concept()), inner);
    ok &= Write(dir + "/deep-embedded.doc", t.Spec(&cleanSpec));
  }
  {
    // A workbook holding an infected document, and one holding nothing we judge.
    Tree t;
    t.Stream("Workbook", Bytes(6000, 0x09));
    int mbd = t.Storage("MBD0049A1B2");
    t.Stream("WordDocument", WordDocument(Concept()), mbd);
    ok &= Write(dir + "/workbook-embeds-infected.xls", t.Spec(nullptr));
    Tree plain;
    plain.Stream("Workbook", Bytes(6000, 0x09));
    ok &= Write(dir + "/workbook.xls", plain.Spec(nullptr));
  }
  {
    // Ole10Native packages of the infected document's file: bare, and in a clean document.
    Tree bare;
    bare.Stream("\x01Ole10Native", Package("report.doc", concept));
    ok &= Write(dir + "/package-infected.bin", bare.Spec(nullptr));
    Tree t;
    int object = t.Storage("_1234", t.Storage("ObjectPool"));
    t.Stream("\x01Ole10Native", Package("report.doc", concept), object);
    ok &= Write(dir + "/doc-package-infected.doc", t.Spec(&cleanSpec));
  }
  {
    // Mails: the document attached, infected and clean; attached to an attached mail; and
    // attached as an object (its storage in the attachment).
    Tree a, b, c, d;
    Message(&a, 0, "infected", {{"report.doc", concept}});
    ok &= Write(dir + "/infected.msg", a.Spec(nullptr));
    Message(&b, 0, "clean", {{"report.doc", clean}});
    ok &= Write(dir + "/clean.msg", b.Spec(nullptr));
    c.Stream("__properties_version1.0", Bytes(32, 0));
    int att = c.Storage("__attach_version1.0_#00000000");
    c.Stream("__substg1.0_3001001F", Utf16("fwd"), att);
    int inner = c.Storage("__substg1.0_3701000D", att);
    Message(&c, inner, "inner", {{"report.doc", concept}});
    ok &= Write(dir + "/nested.msg", c.Spec(nullptr));
    d.Stream("__properties_version1.0", Bytes(32, 0));
    int att2 = d.Storage("__attach_version1.0_#00000000");
    d.Stream("__substg1.0_3707001F", Utf16("report.doc"), att2);
    int object = d.Storage("__substg1.0_3701000D", att2);
    d.Stream("WordDocument", WordDocument(Concept()), object);
    ok &= Write(dir + "/object.msg", d.Spec(nullptr));
  }
  return ok;
}

Bytes ReadFile(const std::string& path, bool* pbOk) {
  std::ifstream in(path, std::ios::binary);
  *pbOk &= static_cast<bool>(in);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "docs") return Docs(args[1]) ? 0 : 1;
  if (args.size() >= 4 && args.size() % 2 == 0 && (args[0] == "msg" || args[0] == "package")) {
    bool ok = true;
    std::vector<std::pair<std::string, Bytes>> files;
    for (size_t i = 2; i < args.size(); i += 2)
      files.push_back({args[i], ReadFile(args[i + 1], &ok)});
    if (!ok) {
      std::fprintf(stderr, "mkcompound: cannot read a file\n");
      return 1;
    }
    Tree t;
    if (args[0] == "msg")
      Message(&t, 0, "attached", files);
    else
      t.Stream("\x01Ole10Native", Package(files[0].first, files[0].second));
    return Write(args[1], t.Spec(nullptr)) ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: mkcompound docs OUTDIR | msg OUT NAME FILE [NAME FILE...] | package OUT "
               "NAME FILE\n");
  return 2;
}
