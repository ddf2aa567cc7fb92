/*
 * unpack.h - varlix-unpack: a whole installer listed, tested or extracted in
 * one command, over the archive library's public interface.
 */
#ifndef VARLIX_UNPACK_UNPACK_H
#define VARLIX_UNPACK_UNPACK_H

#include <string>
#include <vector>

/*
 * unpack_main() - run varlix-unpack with @args, the arguments after the
 * program's name (UTF-8 on Windows). Returns the process exit code: 0, 1 for
 * a usage error, else that of the first failure in directory order, or 5
 * when a pattern matched no member and nothing failed.
 */
int unpack_main(const std::vector<std::string> &args);

#endif
