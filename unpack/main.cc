#include "unpack/unpack.h"
#include "unpack/unpack_os.h"

int main(int argc, char *argv[])
{
    return unpack_main(unpack_os_arguments(argc, argv));
}
