// The binding helpers (argument parsing, conversions, result builders and the
// failure guard), exercised in an embedded interpreter.
#include "args.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py_util.hpp"

namespace py = kelvora::py;

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_Initialize(); }
  void TearDown() override { Py_FinalizeEx(); }
};
::testing::Environment* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Runs `code` as an expression (Py_eval_input) or as statements
// (Py_file_input) in `globals`; the result, or null after a test failure.
py::Ref run(const char* code, int start, PyObject* globals) {
  py::Ref result(PyRun_String(code, start, globals, globals));
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "cannot run " << code;
  }
  return result;
}

py::Ref eval(const char* expr) {
  py::Ref globals(PyDict_New());
  return run(expr, Py_eval_input, globals.get());
}

// Runs `code` in a fresh namespace and returns it.
py::Ref exec(const char* code) {
  py::Ref globals(PyDict_New());
  run(code, Py_file_input, globals.get());
  return globals;
}

// "TypeName: message" of the pending exception, which is cleared; "" if none.
std::string take_error() {
  if (!PyErr_Occurred()) return "";
#if PY_VERSION_HEX >= 0x030C0000
  py::Ref v(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  py::Ref t(type), v(value), b(tb);
#endif
  py::Ref text(PyObject_Str(v.get()));
  std::string out = Py_TYPE(v.get())->tp_name;
  if (text) out += std::string(": ") + PyUnicode_AsUTF8(text.get());
  PyErr_Clear();
  return out;
}

template <class T>
std::string convert_error(const char* expr, const char* arg = "x") {
  py::Ref o = eval(expr);
  T out{};
  const bool ok = py::convert(o.get(), out, arg);
  const std::string error = take_error();
  EXPECT_EQ(ok, error.empty()) << expr;
  return error;
}

template <class T>
T converted(const char* expr) {
  py::Ref o = eval(expr);
  T out{};
  EXPECT_TRUE(py::convert(o.get(), out, "x")) << expr << ": " << take_error();
  return out;
}

struct ErrorCase {
  const char* expr;
  const char* error;
};

// ------------------------------------------------------------ conversions

TEST(Convert, AcceptedValues) {
  EXPECT_EQ(converted<std::string>("'h\\u00e9'"), "h\xc3\xa9");
  EXPECT_EQ(converted<std::string>("type('S', (str,), {})('sub')"), "sub");
  EXPECT_EQ(converted<double>("1.5"), 1.5);
  EXPECT_EQ(converted<double>("2"), 2.0);
  EXPECT_EQ(converted<bool>("True"), true);
  EXPECT_EQ(converted<std::uint32_t>("4294967295"), 4294967295u);
  EXPECT_EQ(converted<std::uint64_t>("2**64 - 1"), UINT64_MAX);
  EXPECT_EQ(converted<std::uint64_t>("2**63"), std::uint64_t{1} << 63);
  EXPECT_EQ(converted<std::int64_t>("-2**63"), INT64_MIN);
  EXPECT_EQ(converted<std::optional<double>>("None"), std::nullopt);
  EXPECT_EQ(converted<std::optional<double>>("0.25"), 0.25);
  EXPECT_EQ(converted<std::vector<std::string>>("['a', 'b']"),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(converted<std::vector<std::string>>("('a',)"), (std::vector<std::string>{"a"}));
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(converted<Pairs>("[('a', 'b')]"), (Pairs{{"a", "b"}}));
}

TEST(Convert, RefusedValuesNameTheArgument) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {convert_error<std::string>("1"), "TypeError: argument 'x': expected str, got int"},
      {convert_error<std::string>("b'a'"), "TypeError: argument 'x': expected str, got bytes"},
      {convert_error<double>("'1'"), "TypeError: argument 'x': expected float, got str"},
      {convert_error<double>("10**400"),
       "OverflowError: argument 'x': int too large to convert to float"},
      {convert_error<bool>("1"), "TypeError: argument 'x': expected bool, got int"},
      {convert_error<std::uint32_t>("4294967296"),
       "OverflowError: argument 'x': int too large to convert"},
      {convert_error<std::uint32_t>("-1"),
       "OverflowError: argument 'x': can't convert negative int to unsigned"},
      {convert_error<std::uint32_t>("1.0"), "TypeError: argument 'x': expected int, got float"},
      {convert_error<std::uint64_t>("2**64"),
       "OverflowError: argument 'x': int too large to convert"},
      {convert_error<std::uint64_t>("-2**70"),
       "OverflowError: argument 'x': can't convert negative int to unsigned"},
      {convert_error<std::uint64_t>("None"), "TypeError: argument 'x': expected int, got NoneType"},
      {convert_error<std::int64_t>("2**63"), "OverflowError: argument 'x': int out of range"},
      {convert_error<std::optional<double>>("'a'"),
       "TypeError: argument 'x': expected float, got str"},
      {convert_error<std::vector<std::string>>("'ab'"),
       "TypeError: argument 'x': can't convert str to a list"},
      {convert_error<std::vector<std::string>>("{'a': 1}"),
       "TypeError: argument 'x': expected a sequence, got dict"},
      {convert_error<std::vector<std::string>>("['a', 1]"),
       "TypeError: argument 'x': expected str, got int"},
      {convert_error<std::vector<std::pair<std::string, std::string>>>("[['a', 'b']]"),
       "TypeError: argument 'x': expected tuple, got list"},
      {convert_error<std::vector<std::pair<std::string, std::string>>>("[('a', 'b', 'c')]"),
       "ValueError: expected tuple of length 2, but got tuple of length 3"},
      {convert_error<py::DictArg>("[]"), "TypeError: argument 'x': expected dict, got list"},
      {convert_error<std::string>("1", nullptr), "TypeError: expected str, got int"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(Convert, UnencodableStrPassesOnTheInterpretersError) {
  const std::string error = convert_error<std::string>("'\\ud800'");
  EXPECT_EQ(error.rfind("UnicodeEncodeError: ", 0), 0u) << error;
}

long global_int(const py::Ref& globals, const char* name) {
  return PyLong_AsLong(PyDict_GetItemString(globals.get(), name));
}

// A sequence whose __getitem__ makes a fresh object on every call: only the
// converted value keeps it alive once the conversion has returned.
constexpr const char* kFreshItems = R"(
import collections.abc
freed = 0
class Item(dict):
    def __del__(self):
        global freed
        freed += 1
class Fresh(collections.abc.Sequence):
    def __len__(self):
        return 3
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return Item(n=i)
seq = Fresh()
)";

template <class T>
void check_items_held(const char* what) {
  SCOPED_TRACE(what);
  py::Ref ns = exec(kFreshItems);
  {
    std::vector<T> items;
    ASSERT_TRUE(py::convert(PyDict_GetItemString(ns.get(), "seq"), items, "x")) << take_error();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(global_int(ns, "freed"), 0);
    for (long i = 0; i < 3; ++i) {
      ASSERT_TRUE(PyDict_Check(items[i].get()));
      EXPECT_EQ(PyLong_AsLong(PyDict_GetItemString(items[i].get(), "n")), i);
    }
  }
  EXPECT_EQ(global_int(ns, "freed"), 3);
}

TEST(Convert, SequenceElementsOutliveTheirSequence) {
  check_items_held<py::DictArg>("DictArg");
  check_items_held<py::Object>("Object");
}

// Converting an element runs its __index__, which empties the list being
// converted: the conversion must read the list as it now is.
TEST(Convert, ListChangedByAnElementsConversion) {
  py::Ref ns = exec(R"(
class Clears:
    def __index__(self):
        items.clear()
        return 7
items = [Clears(), Clears(), Clears()]
)");
  std::vector<std::uint32_t> out;
  ASSERT_TRUE(py::convert(PyDict_GetItemString(ns.get(), "items"), out, "x")) << take_error();
  EXPECT_EQ(out, std::vector<std::uint32_t>{7});
}

TEST(Convert, DictMembers) {
  py::Ref d = eval("{'title': 't', 'position': -1}");
  std::string title;
  EXPECT_EQ(py::dict_get(d.get(), "title", title), 1);
  EXPECT_EQ(title, "t");
  std::string absent = "kept";
  EXPECT_EQ(py::dict_get(d.get(), "node_type", absent), 0);
  EXPECT_EQ(absent, "kept");
  std::uint32_t position = 7;
  EXPECT_EQ(py::dict_get(d.get(), "position", position), -1);
  EXPECT_EQ(take_error(), "OverflowError: can't convert negative int to unsigned");
  EXPECT_EQ(position, 7u);
}

// ----------------------------------------------------------------- parsing

struct Call {
  std::vector<py::Ref> positional;
  std::vector<std::pair<const char*, py::Ref>> keywords;

  py::Args parse(std::initializer_list<const char*> names, std::size_t required = py::Args::kAll) {
    stack_.clear();
    for (auto& p : positional) stack_.push_back(p.get());
    kwnames_.reset(keywords.empty() ? nullptr
                                    : PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    for (std::size_t i = 0; i < keywords.size(); ++i) {
      PyTuple_SET_ITEM(kwnames_.get(), static_cast<Py_ssize_t>(i),
                       PyUnicode_FromString(keywords[i].first));
      stack_.push_back(keywords[i].second.get());
    }
    return py::Args{
        "f",   stack_.data(), static_cast<Py_ssize_t>(positional.size()), kwnames_.get(),
        names, required};
  }

 private:
  std::vector<PyObject*> stack_;
  py::Ref kwnames_;
};

TEST(Args, PositionalAndKeywordGiveTheSameValues) {
  Call c;
  c.positional.push_back(eval("'t'"));
  c.keywords.emplace_back("threshold", eval("0.5"));
  py::Args a = c.parse({"term", "definition", "threshold"}, 1);
  ASSERT_TRUE(a.ok()) << take_error();
  std::string term, definition = "default";
  std::optional<double> threshold;
  EXPECT_TRUE(a.get(0, term) && a.get(1, definition) && a.get(2, threshold));
  EXPECT_EQ(term, "t");
  EXPECT_EQ(definition, "default");
  EXPECT_EQ(threshold, 0.5);
  EXPECT_FALSE(a.given(1));
  EXPECT_TRUE(a.given(2));
}

TEST(Args, MalformedCallsAreTypeErrors) {
  struct Case {
    int positional;
    std::vector<const char*> keywords;
    std::size_t required;
    const char* error;
  };
  const std::vector<Case> cases = {
      {0, {}, 3, "TypeError: f() missing 3 required positional arguments: 'a', 'b', and 'c'"},
      {1, {}, 3, "TypeError: f() missing 2 required positional arguments: 'b' and 'c'"},
      {2, {}, 3, "TypeError: f() missing 1 required positional argument: 'c'"},
      {4, {}, 3, "TypeError: f() takes 3 positional arguments but 4 were given"},
      {4, {}, 1, "TypeError: f() takes from 1 to 3 positional arguments but 4 were given"},
      {1, {"a"}, 1, "TypeError: f() got multiple values for argument 'a'"},
      {3, {"d"}, 3, "TypeError: f() got an unexpected keyword argument 'd'"},
      {0, {"c", "b", "a"}, 3, ""},
  };
  for (const auto& k : cases) {
    Call c;
    for (int i = 0; i < k.positional; ++i) c.positional.push_back(eval("1"));
    for (const char* name : k.keywords) c.keywords.emplace_back(name, eval("1"));
    py::Args a = c.parse({"a", "b", "c"}, k.required);
    EXPECT_EQ(a.ok(), k.error[0] == '\0');
    std::uint32_t v = 0;
    // A failed parse keeps its own error; get adds none.
    EXPECT_EQ(a.get(0, v), a.ok());
    EXPECT_EQ(take_error(), k.error);
  }
}

TEST(Args, TupleAndDictForm) {
  py::Ref args = eval("('x',)");
  py::Ref kwargs = eval("{'b': 2}");
  py::Args a{"g", args.get(), kwargs.get(), {"a", "b"}};
  std::string first;
  std::uint64_t second = 0;
  ASSERT_TRUE(a.get(0, first) && a.get(1, second)) << take_error();
  EXPECT_EQ(first, "x");
  EXPECT_EQ(second, 2u);

  py::Args none{"PyKnowledgeState", args.get(), nullptr, {}};
  EXPECT_FALSE(none.ok());
  EXPECT_EQ(take_error(),
            "TypeError: PyKnowledgeState() takes 0 positional arguments but 1 was given");
}

// ----------------------------------------------------------------- results

std::string repr(PyObject* o) {
  py::Ref owned(o);
  if (!owned) return "<error: " + take_error() + ">";
  py::Ref r(PyObject_Repr(owned.get()));
  return PyUnicode_AsUTF8(r.get());
}

TEST(Results, BuildersKeepOrderAndTypes) {
  py::Dict d;
  d.set("z", std::string("s"))
      .set("a", 1.0)
      .set("n", std::optional<int>{})
      .set("i", std::uint64_t{18446744073709551615u})
      .set("b", true)
      .set("l", std::vector<std::string>{"x", "y"})
      .set("p", std::pair<std::string, bool>{"h", false});
  EXPECT_EQ(repr(d.release()),
            "{'z': 's', 'a': 1.0, 'n': None, 'i': 18446744073709551615, 'b': True, "
            "'l': ['x', 'y'], 'p': ('h', False)}");
  EXPECT_EQ(repr(py::to_py(std::int64_t{-5})), "-5");
}

TEST(Results, InvalidUtf8FailsTheWholeBuilder) {
  py::Dict d;
  d.set("ok", "fine").set("bad", std::string("\xff")).set("after", 1);
  EXPECT_FALSE(d.ok());
  EXPECT_EQ(d.release(), nullptr);
  EXPECT_EQ(take_error().rfind("UnicodeDecodeError", 0), 0u);
}

// ---------------------------------------------------------------- failures

TEST(Guard, InternalFaultBecomesPanicException) {
  testing::internal::CaptureStderr();
  PyObject* r = py::guarded([]() -> PyObject* {
    throw kelvora::InternalFault("record serialization should never fail");
  });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r, nullptr);
  // Written once, before the exception is set.
  const std::string message = "record serialization should never fail";
  const std::size_t first = err.find(message);
  EXPECT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find(message, first + 1), std::string::npos) << err;
  PyObject* panic = py::panic_exception_type();
  ASSERT_NE(panic, nullptr);
  EXPECT_TRUE(PyErr_ExceptionMatches(panic));
  EXPECT_TRUE(PyObject_IsSubclass(panic, PyExc_BaseException) == 1);
  EXPECT_TRUE(PyObject_IsSubclass(panic, PyExc_Exception) == 0);
  EXPECT_EQ(take_error(), "PanicException: record serialization should never fail");
  EXPECT_EQ(repr(PyObject_GetAttrString(panic, "__module__")), "'pyo3_runtime'");
}

TEST(Guard, OtherFailures) {
  EXPECT_EQ(py::guarded([]() -> int { throw std::bad_alloc(); }), -1);
  EXPECT_EQ(take_error(), "MemoryError: ");
  EXPECT_EQ(py::guarded([]() -> int { return 3; }), 3);
  EXPECT_EQ(take_error(), "");
  EXPECT_EQ(py::raise_engine_error(kelvora::EngineError::concept_not_found("x y")), nullptr);
  EXPECT_EQ(take_error(), "ValueError: concept not found: x y");
}

}  // namespace
