// The version of the JSON that orvanta-cli writes (info --json, ports --json, send --json),
// carried in each document's or event stream's "schemaVersion" field. Raised when a field
// changes meaning or goes away; new fields do not raise it. Fields: docs/orvanta-cli.md.
#pragma once

inline constexpr int JSON_SCHEMA_VERSION = 2;
