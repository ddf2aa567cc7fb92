"""varlix: list, test and extract InstallShield 3 .Z installer archives.

Open an installer with varlix.open(): a plain archive (DATA.Z, _SETUP.LIB),
any volume of a disk set (_SETUP.1, _SETUP.2, ...; the others are found beside
it and in disk folders such as DISK2), or the setup engine container
(_INST32I.EX_). The installer is a context manager; closing it closes its
files, and every call on it or its members afterwards raises ValueError.

    import varlix

    with varlix.open("examples/demo-set/DEMO.1") as installer:
        for member in installer:
            print(member.path, member.size, member.datetime)
        data = installer["Program/README.TXT"].read()

An Installer gives its volumes (Volume: which are present, which missing),
its folders (Folder) and its members (Member), each a tuple; the installer
itself iterates over its members and is indexed by position or by path.
Member.read() returns a member's bytes, checked against the recorded size;
Member.extract(path) writes it to one file, kept only when every check
passed; Installer.test() and Member.test() decode without keeping anything.

Failures raise subclasses of varlix.Error, which carry the library's status
number, its text and the exit code varlix-unpack gives it: DamagedError,
SizeError, OutsideError, MissingVolumeError, NotArchiveError, ... Decoding
releases the GIL, so threads can decode members of one installer at once;
reading their compressed bytes from the volumes is done one at a time.
"""

from __future__ import annotations

import datetime as _datetime
import os
from typing import Iterator, List, Optional, Tuple, Union, overload

from . import _varlix

__all__ = [
    "open",
    "Installer",
    "Volume",
    "Folder",
    "Member",
    "Error",
    "OpenError",
    "ReadError",
    "NotArchiveError",
    "DirectoryError",
    "NoMemberError",
    "OutsideError",
    "NoMemoryError",
    "DamagedError",
    "WriteError",
    "SizeError",
    "MissingVolumeError",
]

__version__: str = _varlix.VERSION

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(Exception):
    """A failure of the library, with its status.

    status: the library's status number (ARC_ERR_* in cli/status.h);
    text: its message, as the tools print it; exit_code: the exit code
    varlix-unpack gives it; path: the installer's path; member: the member's
    path inside it, or None when the failure is the installer's.
    """

    status: int
    text: str
    exit_code: int
    path: Optional[str]
    member: Optional[str]

    def __init__(self, status: int, path: Optional[str] = None,
                 member: Optional[str] = None, text: Optional[str] = None) -> None:
        self.status = status
        self.text = text if text is not None else _varlix.status_text(status)
        self.exit_code = _varlix.status_exit_code(status)
        self.path = path
        self.member = member
        super().__init__(status, self.text)

    def __str__(self) -> str:
        where = [part for part in (self.path, self.member) if part]
        return ": ".join(where + [self.text])


class OpenError(Error):
    """The archive, or a volume it needs, could not be opened."""


class ReadError(Error):
    """The archive could not be read to the end of a member."""


class NotArchiveError(Error):
    """The file is not an InstallShield 3 archive."""


class DirectoryError(Error):
    """The member directory does not parse."""


class NoMemberError(Error, KeyError):
    """The installer holds no member of that path or name."""


class OutsideError(Error):
    """A member claims data outside the archive (a truncated volume, say)."""


class NoMemoryError(Error, MemoryError):
    """Memory ran out."""


class DamagedError(Error):
    """The compressed stream is damaged."""


class WriteError(Error):
    """The output file could not be written."""


class SizeError(Error):
    """The extracted size is not the size the archive records."""


class MissingVolumeError(Error):
    """A member needs a volume of its disk set that is missing or belongs elsewhere.

    volume: the Volume; status is the volume's own (ARC_ERR_OPEN when no
    usable file is there, ARC_ERR_NOT_ARCHIVE for a volume of another set).
    """

    volume: "Volume"

    def __init__(self, volume: "Volume", path: Optional[str] = None,
                 member: Optional[str] = None) -> None:
        self.volume = volume
        if volume.status == _varlix.ARC_ERR_OPEN:
            reason = ", which is missing or cannot be opened"
        elif volume.status == _varlix.ARC_ERR_NOT_ARCHIVE:
            reason = ", which is not a volume of this set"
        else:
            reason = ": " + _varlix.status_text(volume.status)
        super().__init__(volume.status, path, member, "needs " + volume.file + reason)


_ERRORS = {
    _varlix.ARC_ERR_OPEN: OpenError,
    _varlix.ARC_ERR_READ: ReadError,
    _varlix.ARC_ERR_NOT_ARCHIVE: NotArchiveError,
    _varlix.ARC_ERR_DIRECTORY: DirectoryError,
    _varlix.ARC_ERR_NO_MEMBER: NoMemberError,
    _varlix.ARC_ERR_OUTSIDE: OutsideError,
    _varlix.ARC_ERR_NO_MEMORY: NoMemoryError,
    _varlix.ARC_ERR_DAMAGED: DamagedError,
    _varlix.ARC_ERR_WRITE: WriteError,
    _varlix.ARC_ERR_SIZE: SizeError,
}


def _error(status: int, path: Optional[str] = None, member: Optional[str] = None) -> Error:
    return _ERRORS.get(status, Error)(status, path, member)


class Volume:
    """One volume of a disk set, or the one file of a plain archive.

    number: from 1 in a set, 0 for a plain archive; path: the file found or,
    when none was, the path it would have; file: its file name; present:
    whether it is there and belongs to the set; status, status_text: why not;
    size: the file's length in bytes (0 when it could not be opened).
    """

    __slots__ = ("number", "path", "file", "present", "status", "status_text", "size")
    number: int
    path: str
    file: str
    present: bool
    status: int
    status_text: str
    size: int

    def __init__(self, path: bytes, number: int, status: int, size: int) -> None:
        self.number = number
        self.path = os.fsdecode(path)
        self.file = os.path.basename(self.path)
        self.present = status == _varlix.ARC_OK
        self.status = status
        self.status_text = _varlix.status_text(status)
        self.size = size

    def __repr__(self) -> str:
        state = "present" if self.present else self.status_text
        return f"<varlix.Volume {self.number} {self.path!r} {state}>"


class Folder:
    """One folder of the installer: a file group or an install path.

    index: its position; name: converted from the code page, parts joined
    with '/', "" for the root; raw_name: the bytes as recorded; member_count:
    how many members are in it.
    """

    __slots__ = ("index", "name", "raw_name", "member_count")
    index: int
    name: str
    raw_name: bytes
    member_count: int

    def __init__(self, index: int, raw_name: bytes, member_count: int, codepage: str) -> None:
        self.index = index
        self.raw_name = raw_name
        self.name = raw_name.decode(codepage, "replace").replace("\\", "/")
        self.member_count = member_count

    def __repr__(self) -> str:
        return f"<varlix.Folder {self.index} {self.name!r}, {self.member_count} members>"


def _dos_datetime(date: int, time: int) -> Optional[_datetime.datetime]:
    """The MS-DOS local date and time, or None when they are not a real date and time."""
    try:
        return _datetime.datetime(1980 + (date >> 9), (date >> 5) & 15, date & 31,
                                  time >> 11, (time >> 5) & 63, (time & 31) * 2)
    except ValueError:
        return None


class Member:
    """One member of an installer. It keeps its installer alive.

    index: its position in the directory; name: its own name, converted from
    the code page (U+FFFD for bytes that are not text in it); raw_name: the
    bytes as recorded; folder: its Folder; path: folder and name joined with
    '/', every '\\' made '/', as varlix-unpack --json gives it; size: the
    expanded size recorded; packed_size: the compressed size; datetime: the
    recorded local date and time as a naive datetime.datetime, None when it
    is not a real date or for an engine container's member; attributes: the
    MS-DOS attribute bits (None in an engine container); read_only: whether
    bit 0x01 is set; version: the file version (major, minor, build,
    revision), None when none is recorded; volumes: the numbers of the
    volumes holding its data (0 for a plain archive's one file; None in an
    engine container); stored: whether its data is the file as it is, not
    compressed; stored_as: an engine container member's second name, else
    None; offset: where its data starts in its first volume.
    """

    __slots__ = ("_installer", "index", "name", "raw_name", "folder", "path", "size",
                 "packed_size", "datetime", "attributes", "read_only", "version", "volumes",
                 "stored", "stored_as", "offset")
    index: int
    name: str
    raw_name: bytes
    folder: Folder
    path: str
    size: int
    packed_size: int
    datetime: Optional[_datetime.datetime]
    attributes: Optional[int]
    read_only: bool
    version: Optional[Tuple[int, int, int, int]]
    volumes: Optional[Tuple[int, ...]]
    stored: bool
    stored_as: Optional[str]
    offset: int

    def __init__(self, installer: "Installer", index: int, record: _varlix.MemberRecord) -> None:
        (raw_name, folder, offset, packed_size, size, dos_date, dos_time, flags, attributes,
         version_high, version_low, start_volume, end_volume, stored_as) = record
        codepage = installer.codepage
        in_archive = stored_as is None
        self._installer = installer
        self.index = index
        self.raw_name = raw_name
        self.name = raw_name.decode(codepage, "replace")
        self.folder = installer.folders[folder]
        whole = self.folder.raw_name.decode(codepage, "replace")
        self.path = (whole + "\\" + self.name if whole else self.name).replace("\\", "/")
        self.size = size
        self.packed_size = packed_size
        self.offset = offset
        self.datetime = _dos_datetime(dos_date, dos_time) if in_archive else None
        self.attributes = attributes if in_archive else None
        self.read_only = bool(attributes & _varlix.ARC_ATTRIBUTE_READ_ONLY) and in_archive
        self.version = None
        if version_high or version_low:
            self.version = (version_high >> 16, version_high & 0xFFFF,
                            version_low >> 16, version_low & 0xFFFF)
        self.volumes = tuple(range(start_volume, end_volume + 1)) if in_archive else None
        self.stored = bool(flags & _varlix.ARC_FLAG_STORED)
        self.stored_as = None if in_archive else stored_as.decode(codepage, "replace")

    @property
    def installer(self) -> "Installer":
        """The installer this member belongs to."""
        return self._installer

    def _failure(self, status: int) -> Error:
        installer = self._installer
        if status == _varlix.ARC_ERR_OPEN:
            missing = _varlix.missing_volume(installer._handle, self.index)
            if missing >= 0:
                return MissingVolumeError(installer.volumes[missing], installer.path, self.path)
        return _error(status, installer.path, self.path)

    def read(self) -> bytes:
        """The member's bytes, decoded (or copied, when stored) and checked.

        Raises MissingVolumeError, OutsideError (data outside its volume),
        ReadError, DamagedError, SizeError (a stream that ends after another
        number of bytes than recorded) or NoMemoryError; ValueError once the
        installer is closed.
        """
        status, data = _varlix.read_member(self._installer._handle, self.index, True)
        if status != _varlix.ARC_OK:
            raise self._failure(status)
        if len(data) != self.size:
            raise _error(_varlix.ARC_ERR_SIZE, self._installer.path, self.path)
        return data

    def test(self) -> None:
        """Decode the member and check its size, keeping nothing; raises as read() does."""
        status, _ = _varlix.read_member(self._installer._handle, self.index, False)
        if status != _varlix.ARC_OK:
            raise self._failure(status)

    def extract(self, path: PathLike) -> None:
        """Write the member to a new file at path, kept only when every check passed.

        A failed output is removed when it is a regular file. Raises what
        read() raises, and WriteError when the file cannot be written (or is
        one of the installer's own volumes). It holds the installer's lock
        on its volumes while it reads and decodes: extractions from one
        installer run one at a time, where read() decodes in parallel.
        """
        output = os.fsencode(os.fspath(path))
        status = _varlix.extract_member(self._installer._handle, self.index, output)
        if status != _varlix.ARC_OK:
            raise self._failure(status)

    def __repr__(self) -> str:
        return f"<varlix.Member {self.index} {self.path!r}, {self.size} bytes>"


class Installer:
    """An open installer: a plain archive, a disk set or an engine container.

    Made by varlix.open(). path: the path given; codepage: the code page of
    its names; disk_set: whether it is a disk set; volumes, folders,
    members: tuples of Volume, Folder and Member; missing_volumes: the
    volumes that are not present. len(installer) is its member count;
    iterating gives its members; installer[i] is member i, installer["a/b"]
    the member of that path or, failing that, of that name (ASCII case
    ignored), else NoMemberError (a KeyError).
    """

    path: str
    codepage: str
    disk_set: bool
    volumes: Tuple[Volume, ...]
    folders: Tuple[Folder, ...]
    members: Tuple[Member, ...]

    def __init__(self, path: PathLike, codepage: str = "CP1252") -> None:
        _check_codepage(codepage)
        self.path = os.fsdecode(os.fspath(path))
        self.codepage = codepage
        self._handle: Optional[_varlix.Handle] = None
        self._closed = False
        status, handle = _varlix.open_installer(os.fsencode(os.fspath(path)))
        try:
            disk_set, volumes, folders, members = _varlix.describe(handle)
            self.disk_set = disk_set
            self.volumes = tuple(Volume(*volume) for volume in volumes)
            if status != _varlix.ARC_OK:
                raise _error(status, self.path)
            self.folders = tuple(Folder(i, name, count, codepage)
                                 for i, (name, count) in enumerate(folders))
            self.members = tuple(Member(self, i, record) for i, record in enumerate(members))
        except BaseException:
            _varlix.close(handle)
            raise
        self._handle = handle

    @property
    def missing_volumes(self) -> Tuple[Volume, ...]:
        """The volumes that are missing or belong elsewhere."""
        return tuple(volume for volume in self.volumes if not volume.present)

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._closed

    def close(self) -> None:
        """Close the installer's files. A second call does nothing."""
        if self._handle is not None:
            _varlix.close(self._handle)
        self._closed = True

    def __enter__(self) -> "Installer":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __len__(self) -> int:
        return len(self.members)

    def __iter__(self) -> Iterator[Member]:
        return iter(self.members)

    @overload
    def __getitem__(self, key: int) -> Member: ...

    @overload
    def __getitem__(self, key: slice) -> Tuple[Member, ...]: ...

    @overload
    def __getitem__(self, key: str) -> Member: ...

    def __getitem__(self, key: Union[int, slice, str]) -> Union[Member, Tuple[Member, ...]]:
        if isinstance(key, str):
            found = self.find(key)
            if found is None:
                raise NoMemberError(_varlix.ARC_ERR_NO_MEMBER, self.path, key)
            return found
        return self.members[key]

    def find(self, name: str) -> Optional[Member]:
        """The first member whose path, else whose name, is name (ASCII case ignored); or None."""
        wanted = _fold(name.replace("\\", "/"))
        for member in self.members:
            if _fold(member.path) == wanted:
                return member
        for member in self.members:
            if _fold(member.name) == wanted:
                return member
        return None

    def test(self) -> None:
        """Decode every member and check its size, keeping nothing.

        Every member is tested; when any fails, the first failure in
        directory order is raised, with the list of all of them in its
        failures attribute.
        """
        failures: List[Error] = []
        for member in self.members:
            try:
                member.test()
            except Error as failure:
                failures.append(failure)
        if failures:
            first = failures[0]
            setattr(first, "failures", failures)
            raise first

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(getattr(self, 'members', ()))} members"
        return f"<varlix.Installer {self.path!r}, {state}>"


def _fold(text: str) -> str:
    """text with the ASCII letters A-Z made a-z, as the library compares names."""
    return text.translate(_ASCII_LOWER)


_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def _check_codepage(codepage: str) -> None:
    try:
        b"A".decode(codepage, "replace")
    except LookupError:
        raise LookupError(f"unknown code page {codepage!r}") from None


def open(path: PathLike, codepage: str = "CP1252") -> Installer:  # noqa: A001
    """Open the installer at path and read its directory.

    path: a plain archive, any volume of a disk set (the others found beside
    it and in disk folders like DISK2), or an engine container. codepage: the
    code page of its names, as varlix-unpack's --codepage takes it (CP1252,
    CP932, ISO-8859-1, ...), known to Python's codecs; LookupError when not.
    Raises OpenError, ReadError, NotArchiveError, DirectoryError or
    NoMemoryError when the installer cannot be opened; a missing volume or a
    member whose data lies outside its volume fails only when that member is
    read.
    """
    return Installer(path, codepage)
