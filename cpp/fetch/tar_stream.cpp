// WatchedTarStream: the reader between the xz decompressor and the tar
// library that judges each header block before the library acts on it.
#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"
#include "fetch/tar_guard.hpp"

namespace quillo::fetch {

namespace {

// Sizes past any archive the watch could follow to its end.
constexpr long long kSizeCap = 1LL << 60;

long long capped_size(nb::handle size) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(size.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow > 0 || value > kSizeCap)
        return kSizeCap;
    return overflow < 0 || value < 0 ? 0 : value;
}

// The header block as tarfile reads it: TarInfo.frombuf, whose HeaderError
// (an end marker, a bad checksum) is where the library stops.
TarHeader read_header(const char *block) {
    nb::object tarfile = global("tarfile");
    nb::object info;
    try {
        info = tarfile.attr("TarInfo").attr("frombuf")(nb::bytes(block, 512), tarfile.attr("ENCODING"),
                                                      "surrogateescape");
    } catch (nb::python_error &e) {
        if (e.matches(tarfile.attr("HeaderError")))
            return TarHeader{};
        throw;
    }
    TarHeader header;
    nb::object type = info.attr("type");
    header.type = PyBytes_Check(type.ptr()) && PyBytes_GET_SIZE(type.ptr()) == 1 ? PyBytes_AS_STRING(type.ptr())[0] : 0;
    using Kind = TarHeader::Kind;
    auto is = [&](const char *name) { return type.equal(tarfile.attr(name)); };
    if (is("GNUTYPE_LONGNAME") || is("GNUTYPE_LONGLINK"))
        header.kind = Kind::long_name;
    else if (is("XHDTYPE") || is("SOLARIS_XHDTYPE"))
        header.kind = Kind::pax;
    else if (is("XGLTYPE"))
        header.kind = Kind::pax_global;
    else if (is("GNUTYPE_SPARSE"))
        header.kind = Kind::sparse;
    else
        header.kind = Kind::member;
    header.size = capped_size(info.attr("size"));
    int known = PySequence_Contains(tarfile.attr("SUPPORTED_TYPES").ptr(), type.ptr());
    if (known < 0)
        throw nb::python_error();
    header.has_data = truth(info.attr("isreg")()) || !known;
    header.name = fs_path(info.attr("name"));
    return header;
}

thread_local const void *current = nullptr;

} // namespace

struct WatchedTarStream::State {
    TarStreamWatch watch{read_header};
    nb::object read;  // source.read
};

WatchedTarStream::WatchedTarStream(nb::handle source)
    : state_(std::make_shared<State>()), outer_(static_cast<const State *>(current)) {
    state_->read = source.attr("read");
    std::shared_ptr<State> state = state_;
    nb::object read = nb::cpp_function([state](nb::handle size) -> nb::object {
        nb::object data = state->read(size);
        TarStreamWatch &watch = state->watch;
        if (watch.ended())
            return data;
        char *buffer = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) != 0)
            throw nb::python_error();
        long long records = watch.record_bytes();
        if (watch.feed(buffer, static_cast<std::size_t>(length)) != TarStreamWatch::Problem::none)
            refuse_member(fs_text(watch.offender()));
        if (watch.record_bytes() != records) {
            long long limit = max_model_bytes(), total = watch.record_bytes() + watch.member_bytes();
            if (limit >= 0 && total > limit) {
                note_failure(Failure::unsafe);
                check_room(std::string(), 0, total, "archive headers");
            }
        }
        return data;
    });
    reader_ = nb::module_::import_("types").attr("SimpleNamespace")(nb::arg("read") = read);
    current = state_.get();
}

WatchedTarStream::~WatchedTarStream() { current = outer_; }

long long WatchedTarStream::record_bytes() {
    return current ? static_cast<const State *>(current)->watch.record_bytes() : 0;
}

} // namespace quillo::fetch
