"""The C++ glue beneath the varlix package; use varlix instead."""

from typing import List, Optional, Tuple

VERSION: str
ARC_OK: int
ARC_ERR_OPEN: int
ARC_ERR_READ: int
ARC_ERR_NOT_ARCHIVE: int
ARC_ERR_DIRECTORY: int
ARC_ERR_NO_MEMBER: int
ARC_ERR_OUTSIDE: int
ARC_ERR_NO_MEMORY: int
ARC_ERR_DAMAGED: int
ARC_ERR_WRITE: int
ARC_ERR_SIZE: int
ARC_FLAG_STORED: int
ARC_ATTRIBUTE_READ_ONLY: int

class Handle: ...

VolumeRecord = Tuple[bytes, int, int, int]
FolderRecord = Tuple[bytes, int]
MemberRecord = Tuple[bytes, int, int, int, int, int, int, int, int, int, int, int, int,
                     Optional[bytes]]

def open_installer(path: bytes) -> Tuple[int, Handle]: ...
def close(handle: Handle) -> None: ...
def describe(
    handle: Handle,
) -> Tuple[bool, List[VolumeRecord], List[FolderRecord], List[MemberRecord]]: ...
def read_member(handle: Handle, index: int, keep: bool) -> Tuple[int, Optional[bytes]]: ...
def extract_member(handle: Handle, index: int, path: bytes) -> int: ...
def missing_volume(handle: Handle, index: int) -> int: ...
def status_text(status: int) -> str: ...
def status_exit_code(status: int) -> int: ...
