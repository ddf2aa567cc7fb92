/*
 * module.cc - varlix._varlix, the C++ beneath the Python package: an open
 * installer as a handle, and free functions that describe it, read, test
 * and extract its members, each returning an arc_status for the Python layer
 * to turn into an exception.
 *
 * Two locks, never waited on in the wrong order. The GIL guards the Python
 * objects and the installer's tables, which only closing changes; the
 * handle's own lock guards the volumes' streams. The handle's lock is only
 * ever waited on with the GIL released, and closing holds both, so that a
 * thread reading the streams and a thread reading the tables each see an
 * installer that stays open while they use it. Decoding for read_member()
 * works on copies (the member's record, its compressed bytes), so it runs
 * without either; extract_member() holds the handle's lock throughout, as
 * arc_extract_installer_member() reads and decodes in one call.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "cli/status.h"

/* setup.py passes the version of the project() line of CMakeLists.txt. */
#ifndef VARLIX_PY_VERSION
#error "VARLIX_PY_VERSION is not defined"
#endif

namespace {

/* An open installer, as Python holds it. */
struct glue_handle {
    PyObject ob_base;
    arc_installer installer;
    PyThread_type_lock streams; /* the volumes' stream positions */
    bool open;
};

PyTypeObject *handle_type = nullptr;

/* Decoded bytes gathered in memory that grows as they come, never past the recorded size. */
struct glue_output {
    uint8_t *bytes;
    size_t used;
    size_t capacity;
    size_t limit;
};

const size_t GATHER_SIZE = 65536;
/* The first guess at a member's size: a record may claim far more than its stream holds. */
const size_t FIRST_CAPACITY = size_t{1} << 20;

bool glue_output_append(void *context, const uint8_t *bytes, size_t length)
{
    glue_output *output = static_cast<glue_output *>(context);
    if (output->capacity - output->used < length) {
        size_t capacity = output->capacity != 0 ? output->capacity : FIRST_CAPACITY;
        while (capacity - output->used < length && capacity < output->limit)
            capacity = capacity > output->limit / 2 ? output->limit : capacity * 2;
        if (capacity > output->limit)
            capacity = output->limit;
        if (capacity - output->used < length)
            return false;
        uint8_t *grown = static_cast<uint8_t *>(std::realloc(output->bytes, capacity));
        if (grown == nullptr)
            return false;
        output->bytes = grown;
        output->capacity = capacity;
    }
    std::memcpy(output->bytes + output->used, bytes, length);
    output->used += length;
    return true;
}

/* Takes the bytes, keeping none: a test of the member counts them all the same. */
bool glue_discard(void *, const uint8_t *, size_t)
{
    return true;
}

/*
 * Decodes @packed into @output, or counts and drops the bytes when @output
 * is null. A failed append is memory running out, not a write.
 */
arc_status glue_decode(const uint8_t *packed, const arc_member *member, glue_output *output)
{
    uint8_t *gathered = static_cast<uint8_t *>(std::malloc(GATHER_SIZE));
    if (gathered == nullptr)
        return ARC_ERR_NO_MEMORY;
    arc_buffered_sink sink = {gathered,
                              GATHER_SIZE,
                              0,
                              output != nullptr ? member->unpacked_size : 0,
                              output != nullptr ? glue_output_append : glue_discard,
                              output};
    arc_status status = arc_decode_member(packed, member, arc_buffered_sink_take, &sink);
    if (!arc_buffered_sink_flush(&sink) && status == ARC_OK)
        status = ARC_ERR_WRITE;
    std::free(gathered);
    return status == ARC_ERR_WRITE ? ARC_ERR_NO_MEMORY : status;
}

/*
 * Reads @member's compressed bytes into memory of their own (*@packed, for
 * the caller to free): the claim is checked against the volumes before any
 * memory is taken for it. Called with the GIL released; takes the streams'
 * lock. *@closed tells that the installer was closed meanwhile.
 */
arc_status glue_read_packed(glue_handle *handle, const arc_member *member, uint8_t **packed,
                            bool *closed)
{
    *packed = nullptr;
    PyThread_acquire_lock(handle->streams, WAIT_LOCK);
    *closed = !handle->open;
    arc_status status = ARC_OK;
    if (!*closed) {
        arc_piece pieces[ARC_MAX_VOLUMES];
        uint32_t piece_count = 0;
        status = arc_member_pieces(&handle->installer, member, pieces, &piece_count);
        if (status == ARC_OK) {
            *packed = static_cast<uint8_t *>(std::malloc(member->packed_size + size_t{1}));
            status = *packed == nullptr ? ARC_ERR_NO_MEMORY
                                        : arc_read_member_data(&handle->installer, member, *packed);
        }
    }
    PyThread_release_lock(handle->streams);
    return status;
}

PyObject *closed_error()
{
    PyErr_SetString(PyExc_ValueError, "the installer is closed");
    return nullptr;
}

/* @object as an open handle, or null with an exception set. */
glue_handle *open_handle(PyObject *object)
{
    if (!PyObject_TypeCheck(object, handle_type)) {
        PyErr_SetString(PyExc_TypeError, "not an installer handle");
        return nullptr;
    }
    glue_handle *handle = reinterpret_cast<glue_handle *>(object);
    if (!handle->open) {
        closed_error();
        return nullptr;
    }
    return handle;
}

/* @object as an open handle with a member @wanted, or null with an exception set. */
glue_handle *handle_with_member(PyObject *object, unsigned long long wanted, uint32_t *index)
{
    glue_handle *handle = open_handle(object);
    if (handle == nullptr)
        return nullptr;
    if (wanted >= handle->installer.archive.member_count) {
        PyErr_SetString(PyExc_IndexError, "no member of that index");
        return nullptr;
    }
    *index = static_cast<uint32_t>(wanted);
    return handle;
}

/* (status, bytes or None) */
PyObject *status_and(arc_status status, PyObject *value)
{
    if (value == nullptr)
        return nullptr;
    PyObject *result = Py_BuildValue("(iO)", static_cast<int>(status), value);
    Py_DECREF(value);
    return result;
}

/* read_member(handle, index, keep) -> (status, bytes or None) */
PyObject *glue_read_member(PyObject *, PyObject *args)
{
    uint32_t index = 0;
    int keep = 1;
    PyObject *object = nullptr;
    unsigned long long wanted = 0;
    if (!PyArg_ParseTuple(args, "OKp", &object, &wanted, &keep))
        return nullptr;
    glue_handle *handle = handle_with_member(object, wanted, &index);
    if (handle == nullptr)
        return nullptr;
    const arc_member member = handle->installer.archive.members[index];
    glue_output output = {nullptr, 0, 0, member.unpacked_size};
    uint8_t *packed = nullptr;
    bool closed = false;
    arc_status status = ARC_OK;
    Py_BEGIN_ALLOW_THREADS;
    status = glue_read_packed(handle, &member, &packed, &closed);
    if (status == ARC_OK && !closed)
        status = glue_decode(packed, &member, keep ? &output : nullptr);
    std::free(packed);
    Py_END_ALLOW_THREADS;
    PyObject *value = nullptr;
    if (closed)
        closed_error();
    else if (status == ARC_OK && keep)
        value = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(output.bytes),
                                          static_cast<Py_ssize_t>(output.used));
    else
        value = Py_NewRef(Py_None);
    std::free(output.bytes);
    return status_and(status, value);
}

/* extract_member(handle, index, path) -> status */
PyObject *glue_extract_member(PyObject *, PyObject *args)
{
    uint32_t index = 0;
    PyObject *object = nullptr;
    unsigned long long wanted = 0;
    const char *path = nullptr;
    if (!PyArg_ParseTuple(args, "OKy", &object, &wanted, &path))
        return nullptr;
    glue_handle *handle = handle_with_member(object, wanted, &index);
    if (handle == nullptr)
        return nullptr;
    bool closed = false;
    arc_status status = ARC_OK;
    Py_BEGIN_ALLOW_THREADS;
    PyThread_acquire_lock(handle->streams, WAIT_LOCK);
    closed = !handle->open;
    if (!closed)
        status = arc_extract_installer_member(&handle->installer,
                                              &handle->installer.archive.members[index], path);
    PyThread_release_lock(handle->streams);
    Py_END_ALLOW_THREADS;
    if (closed)
        return closed_error();
    return PyLong_FromLong(status);
}

/* missing_volume(handle, index) -> index of the first volume it needs that is not usable, or -1 */
PyObject *glue_missing_volume(PyObject *, PyObject *args)
{
    uint32_t index = 0;
    PyObject *object = nullptr;
    unsigned long long wanted = 0;
    if (!PyArg_ParseTuple(args, "OK", &object, &wanted))
        return nullptr;
    glue_handle *handle = handle_with_member(object, wanted, &index);
    if (handle == nullptr)
        return nullptr;
    const arc_volume *volume =
        arc_member_missing_volume(&handle->installer, &handle->installer.archive.members[index]);
    return PyLong_FromLong(volume == nullptr ? -1 : volume - handle->installer.volumes);
}

PyObject *bytes_or_none(const char *bytes, size_t length)
{
    if (bytes == nullptr)
        return Py_NewRef(Py_None);
    return PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
}

/* A list of @count items, item i made by @make; null with an exception set when one fails. */
template <typename Make>
PyObject *list_of(uint32_t count, Make make)
{
    PyObject *list = PyList_New(count);
    for (uint32_t i = 0; list != nullptr && i < count; ++i) {
        PyObject *item = make(i);
        if (item == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

PyObject *volume_tuple(const arc_volume &volume)
{
    return Py_BuildValue("(yIiL)", volume.path != nullptr ? volume.path : "", volume.number,
                         static_cast<int>(volume.status), static_cast<long long>(volume.file_size));
}

PyObject *folder_tuple(const arc_folder &folder)
{
    PyObject *name = bytes_or_none(folder.name != nullptr ? folder.name : "", folder.name_length);
    if (name == nullptr)
        return nullptr;
    PyObject *item = Py_BuildValue("(OI)", name, folder.member_count);
    Py_DECREF(name);
    return item;
}

PyObject *member_tuple(const arc_installer *installer, const arc_member &member)
{
    const char *stored_as = arc_member_stored_as(installer, &member);
    PyObject *second = bytes_or_none(stored_as, stored_as != nullptr ? std::strlen(stored_as) : 0);
    if (second == nullptr)
        return nullptr;
    PyObject *item = Py_BuildValue(
        "(yHIIIHHHIIIBBO)", member.name, member.folder, member.offset, member.packed_size,
        member.unpacked_size, member.dos_date, member.dos_time, member.flags, member.attributes,
        member.version_high, member.version_low, member.start_volume, member.end_volume, second);
    Py_DECREF(second);
    return item;
}

/*
 * describe(handle) -> (disk_set, volumes, folders, members): volumes as
 * (path, number, status, size), folders as (name, member count), members as
 * (name, folder, offset, packed size, size, DOS date, DOS time, flags,
 * attributes, version high, version low, start volume, end volume, stored as).
 */
PyObject *glue_describe(PyObject *, PyObject *object)
{
    glue_handle *handle = open_handle(object);
    if (handle == nullptr)
        return nullptr;
    const arc_installer *installer = &handle->installer;
    PyObject *volumes = list_of(installer->volume_count,
                                [&](uint32_t i) { return volume_tuple(installer->volumes[i]); });
    PyObject *folders = list_of(installer->folder_count,
                                [&](uint32_t i) { return folder_tuple(installer->folders[i]); });
    PyObject *members = list_of(installer->archive.member_count, [&](uint32_t i) {
        return member_tuple(installer, installer->archive.members[i]);
    });
    PyObject *result = nullptr;
    if (volumes != nullptr && folders != nullptr && members != nullptr)
        result = Py_BuildValue("(OOOO)", installer->disk_set ? Py_True : Py_False, volumes, folders,
                               members);
    Py_XDECREF(volumes);
    Py_XDECREF(folders);
    Py_XDECREF(members);
    return result;
}

/* Closes the installer once: with the GIL held, and the streams' lock taken without it. */
void close_handle(glue_handle *handle)
{
    if (!handle->open)
        return;
    Py_BEGIN_ALLOW_THREADS;
    PyThread_acquire_lock(handle->streams, WAIT_LOCK);
    Py_END_ALLOW_THREADS;
    if (handle->open)
        arc_close_installer(&handle->installer);
    handle->open = false;
    PyThread_release_lock(handle->streams);
}

/* open_installer(path) -> (status, handle): the handle, open or not, names the volumes. */
PyObject *glue_open_installer(PyObject *, PyObject *args)
{
    const char *path = nullptr;
    if (!PyArg_ParseTuple(args, "y", &path))
        return nullptr;
    glue_handle *handle = PyObject_New(glue_handle, handle_type);
    if (handle == nullptr)
        return nullptr;
    std::memset(&handle->installer, 0, sizeof(handle->installer));
    handle->open = false;
    handle->streams = PyThread_allocate_lock();
    if (handle->streams == nullptr) {
        Py_DECREF(handle);
        return PyErr_NoMemory();
    }
    arc_status status = ARC_OK;
    Py_BEGIN_ALLOW_THREADS;
    status = arc_open_installer(path, &handle->installer);
    Py_END_ALLOW_THREADS;
    /* Open even after a failure, so that describe() names the volumes; close() releases it. */
    handle->open = true;
    return status_and(status, reinterpret_cast<PyObject *>(handle));
}

PyObject *glue_close(PyObject *, PyObject *object)
{
    if (!PyObject_TypeCheck(object, handle_type)) {
        PyErr_SetString(PyExc_TypeError, "not an installer handle");
        return nullptr;
    }
    close_handle(reinterpret_cast<glue_handle *>(object));
    Py_RETURN_NONE;
}

PyObject *glue_status_text(PyObject *, PyObject *args)
{
    int status = 0;
    if (!PyArg_ParseTuple(args, "i", &status))
        return nullptr;
    return PyUnicode_FromString(arc_status_text(status));
}

PyObject *glue_status_exit_code(PyObject *, PyObject *args)
{
    int status = 0;
    if (!PyArg_ParseTuple(args, "i", &status))
        return nullptr;
    return PyLong_FromLong(arc_status_exit_code(status));
}

void handle_dealloc(PyObject *object)
{
    glue_handle *handle = reinterpret_cast<glue_handle *>(object);
    PyTypeObject *type = Py_TYPE(object);
    /* Nothing else refers to the handle any more, so nothing holds its lock. */
    if (handle->open)
        arc_close_installer(&handle->installer);
    if (handle->streams != nullptr)
        PyThread_free_lock(handle->streams);
    PyObject_Free(object);
    Py_DECREF(type);
}

PyMethodDef glue_methods[] = {
    {"open_installer", glue_open_installer, METH_VARARGS,
     "open_installer(path: bytes) -> (status, handle)"},
    {"close", glue_close, METH_O, "close(handle) -> None; a second call does nothing"},
    {"describe", glue_describe, METH_O,
     "describe(handle) -> (disk_set, volumes, folders, members)"},
    {"read_member", glue_read_member, METH_VARARGS,
     "read_member(handle, index, keep) -> (status, bytes or None)"},
    {"extract_member", glue_extract_member, METH_VARARGS,
     "extract_member(handle, index, path: bytes) -> status"},
    {"missing_volume", glue_missing_volume, METH_VARARGS,
     "missing_volume(handle, index) -> volume index or -1"},
    {"status_text", glue_status_text, METH_VARARGS, "status_text(status) -> str"},
    {"status_exit_code", glue_status_exit_code, METH_VARARGS, "status_exit_code(status) -> int"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(handle_dealloc)},
    {Py_tp_doc, const_cast<char *>("An open installer, as varlix._varlix holds it.")},
    {0, nullptr},
};

PyType_Spec handle_spec = {"varlix._varlix.Handle", sizeof(glue_handle), 0, Py_TPFLAGS_DEFAULT,
                           handle_slots};

PyModuleDef glue_module = {PyModuleDef_HEAD_INIT,
                           "varlix._varlix",
                           "The C++ glue beneath the varlix package; use varlix instead.",
                           -1,
                           glue_methods,
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};

bool add_status_constants(PyObject *module)
{
    static const struct {
        const char *name;
        int value;
    } CONSTANTS[] = {
        {"ARC_OK", ARC_OK},
        {"ARC_ERR_OPEN", ARC_ERR_OPEN},
        {"ARC_ERR_READ", ARC_ERR_READ},
        {"ARC_ERR_NOT_ARCHIVE", ARC_ERR_NOT_ARCHIVE},
        {"ARC_ERR_DIRECTORY", ARC_ERR_DIRECTORY},
        {"ARC_ERR_NO_MEMBER", ARC_ERR_NO_MEMBER},
        {"ARC_ERR_OUTSIDE", ARC_ERR_OUTSIDE},
        {"ARC_ERR_NO_MEMORY", ARC_ERR_NO_MEMORY},
        {"ARC_ERR_DAMAGED", ARC_ERR_DAMAGED},
        {"ARC_ERR_WRITE", ARC_ERR_WRITE},
        {"ARC_ERR_SIZE", ARC_ERR_SIZE},
        {"ARC_FLAG_STORED", ARC_FLAG_STORED},
        {"ARC_ATTRIBUTE_READ_ONLY", ARC_ATTRIBUTE_READ_ONLY},
    };
    for (const auto &constant : CONSTANTS) {
        if (PyModule_AddIntConstant(module, constant.name, constant.value) != 0)
            return false;
    }
    return true;
}

} // namespace

PyMODINIT_FUNC PyInit__varlix(void)
{
    if (handle_type == nullptr) {
        handle_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&handle_spec));
        if (handle_type == nullptr)
            return nullptr;
    }
    PyObject *module = PyModule_Create(&glue_module);
    if (module == nullptr)
        return nullptr;
    if (!add_status_constants(module) ||
        PyModule_AddStringConstant(module, "VERSION", VARLIX_PY_VERSION) != 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
