// Python face of the identifier generator: LogIDGenerator, EventType, ErrorType.
#include "common/errors.hpp"
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
        .def_prop_ro("source_idx", [](const Generator &g) { return g.source_idx; })
        .def("generate_session_id",
             [](Generator &g, nb::handle force) {
                 int f = PyObject_IsTrue(force.ptr());
                 if (f < 0)
                     throw nb::python_error();
                 return g.ids.session_id(f == 1);
             },
             nb::arg("force") = false,
             nb::sig("def generate_session_id(self, force: bool = False) -> str"),
             "Return the session id, made on first use; ``force`` makes a new, different one.")
        .def("get_session_id", [](const Generator &g) { return g.ids.cached_session_id(); },
             "The cached session id, or None before the first ``generate_session_id``.")
        .def("generate_event_id",
             [](Generator &g, nb::handle event_type) {
                 return g.ids.next_event_id(event_types.code(event_type, "event_type"));
             },
             nb::arg("event_type") = nb::none(),
             nb::sig("def generate_event_id(self, event_type: EventType | None = None) -> str"),
             "Return a new event id; the counter is shared by all event types.")
        .def("generate_error_id",
             [](Generator &g, nb::handle error_type) {
                 return g.ids.next_error_id(error_types.code(error_type, "error_type"));
             },
             nb::arg("error_type") = nb::none(),
             nb::sig("def generate_error_id(self, error_type: ErrorType | None = None) -> str"),
             "Return a new error id; errors have their own counter.")
        .def_static("format_log_with_id",
                    [](nb::handle message, nb::handle log_id) {
                        require_str(message, "message");
                        require_str(log_id, "log_id");
                        return prefixed(message, log_id);
                    },
                    nb::arg("message"), nb::arg("log_id"),
                    nb::sig("def format_log_with_id(message: str, log_id: str) -> str"),
                    "Return ``\"[\" + log_id + \"] \" + message``.")
        .def("format_log_with_session",
             [](const Generator &g, nb::handle message) -> nb::object {
                 require_str(message, "message");
                 std::optional<std::string> session = g.ids.cached_session_id();
                 if (!session)
                     return nb::borrow(message);
                 return prefixed(message, nb::str(session->data(), session->size()));
             },
             nb::arg("message"), nb::sig("def format_log_with_session(self, message: str) -> str"),
             "Prefix ``message`` with the cached session id; unchanged when there is none yet.");
}
