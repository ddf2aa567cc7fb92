/*
 * version.h - the old home of the version header, kept for this release so
 * that programs written against it still build. Include "varlix_version.h".
 */
#ifndef VARLIX_CLI_VERSION_H
#define VARLIX_CLI_VERSION_H

#include "varlix_version.h"

#endif
