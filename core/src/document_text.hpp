// The pieces both JSON documents are written with, straight into their text:
// two spaces of indentation per level, one member or element per line, ": "
// after keys, "{}" and "[]" when empty, members in byte order of their keys,
// the float text (non-finite as null) and time stamps ending in +00:00.
//
// Each entry of a document (a concept, a record, ...) is emitted twice by the
// same code, as the canonical text is: a DocCounter finds its exact length,
// the text grows once, and a DocPutter writes it. Nothing is built besides
// the text, so running out of memory leaves only the text to free.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kelvora/canonical.hpp"
#include "kelvora/types.hpp"
#include "text_emitters.hpp"

namespace kelvora::exchange::text {

using serialization::Piece;

// Float and time stamp texts are made by the counting pass; the first
// kPieceCache of them are kept for the writing pass, which sees them in the
// same order (any further ones are made again).
inline constexpr std::size_t kPieceCache = 8;

// A line break and `depth` spaces; documents nest far less deep than this.
inline constexpr std::string_view kLineBreak =
    "\n                                                                ";

struct DocCounter : serialization::Counter {
  Piece pieces[kPieceCache];
  std::size_t made = 0;

  void newline(std::size_t depth) { n += 1 + depth; }
  void piece(const Piece& text) {
    n += text.len;
    if (made < kPieceCache) pieces[made] = text;
    ++made;
  }
  void f64(double value) { piece(serialization::f64_piece(value, /*normalize_zero=*/false)); }
  void timestamp(Timestamp ts) { piece(serialization::timestamp_piece(ts, /*zulu=*/false)); }
};

struct DocPutter : serialization::Putter {
  DocPutter(char* out, const DocCounter& counter)
      : serialization::Putter(out, counter), pieces(counter.pieces) {}

  const Piece* pieces;
  std::size_t used = 0;

  void newline(std::size_t depth) { raw(kLineBreak.substr(0, depth + 1)); }
  void f64(double value) {
    piece([&] { return serialization::f64_piece(value, /*normalize_zero=*/false); });
  }
  void timestamp(Timestamp ts) {
    piece([&] { return serialization::timestamp_piece(ts, /*zulu=*/false); });
  }
  // The counting pass's text, or one made again by `make` past the cache.
  template <class Make>
  void piece(Make make) {
    if (used < kPieceCache) {
      raw(pieces[used].view());
    } else {
      raw(make().view());
    }
    ++used;
  }
};

// Where a document's text goes: `place(context, size)` gives the storage of
// its next `size` bytes.
struct TextSink {
  serialization::PlaceText place;
  void* context;

  // The text `emit(e)` writes, counted and then written.
  template <class F>
  void emit(F&& emit) {
    serialization::emit_placed<DocCounter, DocPutter>(
        [this](std::size_t size) { return place(context, size); }, emit);
  }
  void raw(std::string_view text) {
    std::memcpy(place(context, text.size()), text.data(), text.size());
  }
};

// Storage at the end of the std::string `string`.
inline char* place_in_string(void* string, std::size_t size) {
  auto& out = *static_cast<std::string*>(string);
  const std::size_t old = out.size();
  out.resize(old + size);
  return out.data() + old;
}

// The lines of an object or array whose brackets stand at `depth`: each
// member or element on a line of its own at depth + 2; "{}" or "[]" when
// there is none.
template <class E, char Open, char Close>
class Block {
 public:
  Block(E& e, std::size_t depth) : e_(e), depth_(depth) {}
  // Starts the next line; the value written there stands at depth + 2.
  E& next() {
    e_.ch(first_ ? Open : ',');
    first_ = false;
    e_.newline(depth_ + 2);
    return e_;
  }
  void close() {
    if (first_) {
      e_.ch(Open);
    } else {
      e_.newline(depth_);
    }
    e_.ch(Close);
  }

 private:
  E& e_;
  std::size_t depth_;
  bool first_ = true;
};

template <class E>
class Items : public Block<E, '[', ']'> {
  using Block<E, '[', ']'>::Block;
};
template <class E>
Items(E&, std::size_t) -> Items<E>;

template <class E>
class Members : public Block<E, '{', '}'> {
 public:
  using Block<E, '{', '}'>::Block;
  // Starts the member `key`.
  E& operator()(std::string_view key) {
    E& e = this->next();
    e.ch('"');
    e.raw(key);
    e.lit("\": ");
    return e;
  }
};
template <class E>
Members(E&, std::size_t) -> Members<E>;

template <class E>
void emit_evidence(E& e, const std::vector<EvidenceRef>& evidence, std::size_t depth) {
  Items items(e, depth);
  for (const EvidenceRef& ref : evidence) {
    items.next();
    Members m(e, depth + 2);
    m("text_excerpt").str(ref.text_excerpt);
    m("turn_number").uint(ref.turn_number);
    m.close();
  }
  items.close();
}

template <class E, class Id>
void emit_ids(E& e, const std::vector<Id>& ids, std::size_t depth) {
  Items items(e, depth);
  for (const Id& id : ids) items.next().uuid(id.uuid);
  items.close();
}

template <class E>
void emit_concept(E& e, const Concept& c, std::size_t depth) {
  Members m(e, depth);
  m("confidence").f64(c.confidence);
  m("created_at").timestamp(c.created_at);
  m("definition").str(c.definition);
  m("id").uuid(c.id.uuid);
  emit_evidence(m("source_evidence"), c.source_evidence, depth + 2);
  m("status").str(name(c.status));
  m("term").str(c.term);
  m.close();
}

template <class E>
void emit_relation(E& e, const Relation& r, std::size_t depth) {
  Members m(e, depth);
  if (r.classification_confidence) {
    m("classification_confidence").f64(*r.classification_confidence);
  }
  m("confidence").f64(r.confidence);
  emit_evidence(m("evidence"), r.evidence, depth + 2);
  m("from_concept").uuid(r.from_concept.uuid);
  m("id").uuid(r.id.uuid);
  m("relation_type").str(name(r.relation_type));
  if (r.source_document) m("source_document").str(*r.source_document);
  m("to_concept").uuid(r.to_concept.uuid);
  m.close();
}

template <class E>
void emit_structure_node(E& e, const StructureNode& node, std::size_t depth) {
  Members m(e, depth);
  emit_ids(m("concept_refs"), node.concept_refs, depth + 2);
  m("content_hash").hex(node.content_hash);
  m("id").uuid(node.id.uuid);
  m("node_type").str(node.node_type);
  if (node.parent) {
    m("parent").uuid(node.parent->uuid);
  } else {
    m("parent").lit("null");
  }
  m("position").uint(node.position);
  m("title").str(node.title);
  m.close();
}

}  // namespace kelvora::exchange::text
