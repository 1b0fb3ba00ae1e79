// Helpers shared by the tests of the structural index: an index written
// out as text, and generated documents.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "index/structural.hpp"

namespace arbolite::index::testing_support {

// An index as text: tags as <kind><start>-<end>:<name> (no name for comments
// and CDATA sections), separated by blanks, then " |" and the text ranges as
// <start>-<end>; or the error. Kinds: O open, C close, S self-closing, M
// comment, D CDATA, P processing instruction.
inline std::string describe(std::string_view doc, const IndexResult& result) {
    if (!result.ok()) {
        const IndexBuildError& e = result.error();
        std::string out;
        switch (e.kind) {
            case IndexBuildError::Kind::UnclosedTag: out = "unclosed@"; break;
            case IndexBuildError::Kind::UnexpectedEnd: out = "end@"; break;
            case IndexBuildError::Kind::NameTooLong: out = "toolong@"; break;
            case IndexBuildError::Kind::UnterminatedDoctype: out = "doctype@"; break;
            case IndexBuildError::Kind::Interrupted: out = "interrupted@"; break;
        }
        out += std::to_string(e.offset);
        return out;
    }
    const StructuralIndex& ix = result.value();
    std::string out;
    for (size_t i = 0; i < ix.tag_count(); ++i) {
        if (i) out += ' ';
        const TagKind kind = ix.tag_kinds[i];
        out += "OCSMDP"[static_cast<int>(kind)];
        out += std::to_string(ix.tag_starts[i]);
        out += '-';
        out += std::to_string(ix.tag_ends[i]);
        if (kind == TagKind::Comment || kind == TagKind::CData) {
            EXPECT_EQ(ix.name_offsets[i], 0u);
            EXPECT_EQ(ix.name_lengths[i], 0u);
        } else {
            out += ':';
            out += doc.substr(ix.name_offsets[i], ix.name_lengths[i]);
        }
    }
    out += " |";
    for (size_t i = 0; i < ix.text_starts.size(); ++i) {
        out += ' ';
        out += std::to_string(ix.text_starts[i]);
        out += '-';
        out += std::to_string(ix.text_ends[i]);
    }
    return out;
}

// Random documents made of the constructs the builders tell apart, with
// quotes, '<' and '>' placed inside and outside tags, then (for half of them)
// damaged by a few random edits.
class DocumentGenerator {
public:
    explicit DocumentGenerator(uint32_t seed) : rng_(seed) {}

    std::string document(size_t pieces) {
        std::string doc;
        for (size_t i = 0; i < pieces; ++i) piece(doc);
        if (pick(2)) mutate(doc);
        return doc;
    }

    // Rows of quoted attributes, the shape that picks the quote-aware builder.
    std::string attribute_rows(size_t rows) {
        std::string doc = "<table>\n";
        for (size_t r = 0; r < rows; ++r) {
            doc += "<row";
            for (size_t a = 0, count = 3 + pick(6); a < count; ++a) {
                doc += ' ';
                doc += static_cast<char>('a' + a);
                doc += '=';
                const char q = pick(4) ? '"' : '\'';
                doc += q;
                doc += any_of({"1", "x>y", "a<b/c", "it's", "\"", "'", "", "/>", "</row>"}, q);
                doc += q;
            }
            doc += pick(3) ? "/>\n" : ">it's</row>\n";
        }
        doc += "</table>";
        if (pick(2)) mutate(doc);
        return doc;
    }

private:
    size_t pick(size_t n) { return rng_() % n; }

    // One of `options`, skipping those that contain `avoid` (so a quoted
    // value holds no quote of its own kind).
    std::string any_of(std::initializer_list<const char*> options, char avoid = '\0') {
        std::vector<const char*> usable;
        for (const char* o : options)
            if (avoid == '\0' || std::strchr(o, avoid) == nullptr) usable.push_back(o);
        return usable[pick(usable.size())];
    }

    std::string name() { return any_of({"a", "item", "r", "ns:x", "b2", "a\"b", "x'y", "c\x01" "d", "e\v"}); }

    std::string attributes() {
        std::string out;
        for (size_t i = 0, count = pick(4); i < count; ++i) {
            out += any_of({" ", "\t", "\n", "  "});
            out += any_of({"k", "id", "x:y"});
            out += any_of({"=", " = "});
            const char q = pick(2) ? '"' : '\'';
            out += q;
            out += any_of({"1", "x>y", "a<b", "it's", "say \"x\"", "/", "", "a/>b", "-->", "]]>", "?>"}, q);
            out += q;
        }
        if (pick(8) == 0) out += any_of({" junk", " /", " '", " \"", " <", "=x"});
        return out;
    }

    void piece(std::string& doc) {
        switch (pick(9)) {
            case 0:
            case 1:
                doc += any_of({"abc", " ", "\n  ", "it's", "say \"hi\"", "&amp;", "a>b", "x/y", "\xC3\xA9", "-", "]"});
                break;
            case 2:
            case 3:
                doc += '<' + name() + attributes() + any_of({">", "/>", " />", "/ >"});
                break;
            case 4:
                doc += "</" + name() + any_of({">", " >", " x='>'>", "/>", "\t>"});
                break;
            case 5:
                doc += "<!--" + any_of({"", " c ", "'", "\"", "<a b='", ">", "-", "- -", "<!--"}) + "-->";
                break;
            case 6:
                doc += "<![CDATA[" + any_of({"", "x", "<a b='>'>", "]", "]]", "\"'", "]>"}) + "]]>";
                break;
            case 7:
                doc += "<?" + any_of({"xml", "pi", "", "a'b"}) +
                       any_of({"", " a='?>'", " b=\"x\"", " >", " ?", "?"}) + "?>";
                break;
            default:
                doc += any_of({"<!DOCTYPE r>", "<!DOCTYPE r \"a>b\">", "<!ELEMENT x 'y'>", "<!x>", "<!>",
                               "<!DOCTYPE r [<!ENTITY e '<a b=\">'>]>", "<!DOCTYPE r [<!-- '<a> -->]>",
                               "<!DOCTYPE r [<?p ]>' ?><![ x[]]>]>"});
                break;
        }
    }

    void mutate(std::string& doc) {
        for (size_t i = 0, count = 1 + pick(3); i < count; ++i) {
            if (doc.empty()) doc = "<";
            const size_t at = pick(doc.size());
            switch (pick(5)) {
                case 0: doc.erase(at, 1); break;
                case 1: doc.insert(at, 1, "<>\"'/!?-[]"[pick(10)]); break;
                case 2: doc.resize(at); break;
                case 3: doc += '<'; break;
                default: std::swap(doc[at], doc[pick(doc.size())]); break;
            }
        }
    }

    std::mt19937 rng_;
};

}  // namespace arbolite::index::testing_support
