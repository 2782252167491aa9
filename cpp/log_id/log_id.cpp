// Python face of the identifier generator: LogIDGenerator, EventType, ErrorType.
#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"
#include "common/module_attr.hpp"
#include "log_id/id_generator.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string>
#include <utility>

namespace nb = nanobind;

namespace quillo::log_id {

namespace {

constexpr const char *kModule = "quillo_sdk.logging.log_id";

struct Member {
    const char *name;
    const char *code;
};

constexpr std::array<Member, 7> kEventMembers{{
    {"EVENT", "EVT"}, {"START", "START"}, {"STOP", "STOP"}, {"FRAME", "FRAME"},
    {"DETECTION", "DET"}, {"TRACK", "TRK"}, {"MODEL", "MODEL"},
}};
constexpr std::array<Member, 6> kErrorMembers{{
    {"GENERIC", "GEN"}, {"FRAME_CAPTURE", "FRAME"}, {"MODEL_LOAD", "MODEL"},
    {"INFERENCE", "INFER"}, {"NETWORK", "NET"}, {"CONFIG", "CFG"},
}};

// An enum class whose members are matched by identity to their codes.
template <std::size_t N>
class CodeEnum {
public:
    CodeEnum(const char *name, const std::array<Member, N> &members) : members_(members), name_(name) {}

    nb::object create(nb::module_ &m, const char *doc) {
        nb::list pairs;
        for (const Member &member : members_)
            pairs.append(nb::make_tuple(member.name, member.code));
        nb::object cls = import_name("enum", "Enum")(name_, pairs, nb::arg("module") = kModule,
                                                    nb::arg("qualname") = name_);
        cls.attr("__doc__") = doc;
        for (std::size_t i = 0; i < N; ++i)
            objects_[i] = cls.attr(members_[i].name).ptr();  // kept alive by the class
        m.attr(name_) = cls;
        class_ = cls;
        return cls;
    }

    // The code of `member`; the first member (the default) for None.
    const char *code(nb::handle member, const char *param) const {
        if (member.is_none())
            return members_[0].code;
        for (std::size_t i = 0; i < N; ++i)
            if (objects_[i] == member.ptr())
                return members_[i].code;
        raise_wrong_type(param, name_, member);
    }

private:
    const std::array<Member, N> &members_;
    const char *name_;
    std::array<PyObject *, N> objects_{};
    nb::object class_;
};

CodeEnum<kEventMembers.size()> event_types("EventType", kEventMembers);
CodeEnum<kErrorMembers.size()> error_types("ErrorType", kErrorMembers);

struct Generator {
    Generator(nb::str node_id, long long source_idx, std::string node_field)
        : node_id(std::move(node_id)), source_idx(source_idx), ids(std::move(node_field), source_idx) {}
    nb::str node_id;
    long long source_idx;
    IdGenerator ids;
};

nb::object prefixed(nb::handle message, nb::handle log_id) {
    PyObject *text = PyUnicode_FromFormat("[%U] %U", log_id.ptr(), message.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

void construct_generator(Generator *self, nb::handle node_id, nb::handle source_idx) {
    nb::object node = node_id.is_none() ? import_name("socket", "gethostname")() : nb::borrow(node_id);
    require_str(node, "node_id");
    long long index = 0;
    if (!source_idx.is_none()) {
        require_int(source_idx, "source_idx");
        index = PyLong_AsLongLong(source_idx.ptr());
        if (index == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (index < 0)
            throw nb::value_error("source_idx must not be negative");
    }
    nb::object head = node[nb::slice(nb::none(), nb::int_(8), nb::none())];
    new (self) Generator(nb::borrow<nb::str>(node), index, nb::cast<std::string>(head));
}

// The methods are documented callables rather than nanobind functions so that
// inspect.signature and help() show their parameters.

Generator &generator_of(PyObject *self, const char *method) {
    nb::handle h(self);
    if (!nb::isinstance<Generator>(h) || !nb::inst_ready(h))
        throw nb::type_error((std::string("LogIDGenerator.") + method +
                              "() needs an initialised LogIDGenerator as self").c_str());
    return *nb::inst_ptr<Generator>(h);
}

#define QUILLO_PARAMETERS(var, function, positional, required, ...)                                   \
    constexpr const char *var##_names[] = {__VA_ARGS__};                                             \
    const Parameters var{function, var##_names, sizeof(var##_names) / sizeof(*var##_names), positional, required};

QUILLO_PARAMETERS(session_params, "generate_session_id", 2, 1, "self", "force")
QUILLO_PARAMETERS(get_session_params, "get_session_id", 1, 1, "self")
QUILLO_PARAMETERS(event_params, "generate_event_id", 2, 1, "self", "event_type")
QUILLO_PARAMETERS(error_params, "generate_error_id", 2, 1, "self", "error_type")
QUILLO_PARAMETERS(format_id_params, "format_log_with_id", 2, 2, "message", "log_id")
QUILLO_PARAMETERS(format_session_params, "format_log_with_session", 2, 2, "self", "message")
#undef QUILLO_PARAMETERS

template <std::size_t N>
void bind(const Parameters &params, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *(&out)[N]) {
    if (!bind_arguments(params, args, nargs, kwnames, out))
        throw nb::python_error();
}

nb::object session_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    bind(session_params, args, nargs, kwnames, a);
    Generator &g = generator_of(a[0], "generate_session_id");
    int force = a[1] ? PyObject_IsTrue(a[1]) : 0;
    if (force < 0)
        throw nb::python_error();
    return nb::cast(g.ids.session_id(force == 1));
}

nb::object get_session_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    bind(get_session_params, args, nargs, kwnames, a);
    return nb::cast(generator_of(a[0], "get_session_id").ids.cached_session_id());
}

nb::object event_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    bind(event_params, args, nargs, kwnames, a);
    Generator &g = generator_of(a[0], "generate_event_id");
    return nb::cast(g.ids.next_event_id(event_types.code(a[1] ? nb::handle(a[1]) : nb::none(), "event_type")));
}

nb::object error_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    bind(error_params, args, nargs, kwnames, a);
    Generator &g = generator_of(a[0], "generate_error_id");
    return nb::cast(g.ids.next_error_id(error_types.code(a[1] ? nb::handle(a[1]) : nb::none(), "error_type")));
}

nb::object format_id_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    bind(format_id_params, args, nargs, kwnames, a);
    require_str(a[0], "message");
    require_str(a[1], "log_id");
    return prefixed(a[0], a[1]);
}

nb::object format_session_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2];
    bind(format_session_params, args, nargs, kwnames, a);
    Generator &g = generator_of(a[0], "format_log_with_session");
    require_str(a[1], "message");
    std::optional<std::string> session = g.ids.cached_session_id();
    if (!session)
        return nb::borrow(a[1]);
    return prefixed(a[1], nb::str(session->data(), session->size()));
}

nb::object method(const char *name, const char *qualname, const char *doc, const char *text_signature,
                  std::initializer_list<std::pair<const char *, const char *>> annotations, vectorcallfunc call) {
    return make_method({name, qualname, kModule, doc, text_signature, annotations, call});
}

// LogIDGenerator(node_id=None, source_idx=None), as inspect.signature shows the class.
nb::object class_signature() {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object P = inspect.attr("Parameter");
    nb::list params;
    params.append(P("node_id", P.attr("POSITIONAL_OR_KEYWORD"), nb::arg("default") = nb::none(),
                    nb::arg("annotation") = nb::str("str | None")));
    params.append(P("source_idx", P.attr("POSITIONAL_OR_KEYWORD"), nb::arg("default") = nb::none(),
                    nb::arg("annotation") = nb::str("int | None")));
    return inspect.attr("Signature")(params, nb::arg("return_annotation") = nb::none());
}

} // namespace

} // namespace quillo::log_id

NB_MODULE(log_id, m) {
    using namespace quillo;
    using namespace quillo::log_id;
    m.doc() = "Correlation identifiers for log lines: session, event and error ids.";

    event_types.create(m, "Kinds of events; each member's value is the code written into event ids.");
    error_types.create(m, "Kinds of errors; each member's value is the code written into error ids.");

    nb::class_<Generator>(m, "LogIDGenerator",
                          "Makes session, event and error identifiers for one node and source.\n\n"
                          "``node_id`` defaults to the host name, ``source_idx`` to 0. Identifiers carry\n"
                          "the node id's first eight characters and the source index.")
        .def("__init__",
             &construct_generator,
             nb::arg("node_id") = nb::none(), nb::arg("source_idx") = nb::none(),
             nb::sig("def __init__(self, node_id: str | None = None, source_idx: int | None = None) -> None"))
        .def_prop_ro("node_id", [](const Generator &g) { return g.node_id; })
        .def_prop_ro("source_idx", [](const Generator &g) { return g.source_idx; });
    nb::object cls = m.attr("LogIDGenerator");
    cls.attr("__signature__") = class_signature();
    cls.attr("generate_session_id") = method(
        "generate_session_id", "LogIDGenerator.generate_session_id",
        "Return the session id, made on first use; ``force`` makes a new, different one.",
        "($self, /, force=False)", {{"force", "bool"}, {"return", "str"}}, vectorcall_entry<session_impl>);
    cls.attr("get_session_id") = method(
        "get_session_id", "LogIDGenerator.get_session_id",
        "The cached session id, or None before the first ``generate_session_id``.", "($self, /)",
        {{"return", "str | None"}}, vectorcall_entry<get_session_impl>);
    cls.attr("generate_event_id") = method(
        "generate_event_id", "LogIDGenerator.generate_event_id",
        "Return a new event id; the counter is shared by all event types.", "($self, /, event_type=None)",
        {{"event_type", "EventType | None"}, {"return", "str"}}, vectorcall_entry<event_impl>);
    cls.attr("generate_error_id") = method(
        "generate_error_id", "LogIDGenerator.generate_error_id",
        "Return a new error id; errors have their own counter.", "($self, /, error_type=None)",
        {{"error_type", "ErrorType | None"}, {"return", "str"}}, vectorcall_entry<error_impl>);
    cls.attr("format_log_with_id") = nb::handle(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(method(
        "format_log_with_id", "LogIDGenerator.format_log_with_id", "Return ``\"[\" + log_id + \"] \" + message``.",
        "(message, log_id)", {{"message", "str"}, {"log_id", "str"}, {"return", "str"}},
        vectorcall_entry<format_id_impl>));
    cls.attr("format_log_with_session") = method(
        "format_log_with_session", "LogIDGenerator.format_log_with_session",
        "Prefix ``message`` with the cached session id; unchanged when there is none yet.", "($self, /, message)",
        {{"message", "str"}, {"return", "str"}}, vectorcall_entry<format_session_impl>);
}
