// JSON value tree, parser and compact writer.
#pragma once

namespace tarnwick::json {}
