// SPDX-License-Identifier: MIT
/// \file
/// mixlink: client library for the console's native network protocol.
#pragma once

#include <mixlink/protocol.h>
#include <mixlink/result.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/recording.h>
#include <mixlink/dictionary.h>
#include <mixlink/values.h>
#include <mixlink/nodes.h>
#include <mixlink/version.h>
