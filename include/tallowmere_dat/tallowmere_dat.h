#pragma once

// The whole public interface in one include: the archive handle and its header, the bulk reader,
// the directory index and its entries, the integrity check, the annotated dump and the diff of
// two archives, the errors, the byte sources the decoders read, the sound-table decoder, the LRS
// decompressor and the library's version. The narrower headers stay available for faster builds.

#include "tallowmere_dat/bulk_reader.h"
#include "tallowmere_dat/byte_source.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/chunk_sink.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/diff.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/explain.h"
#include "tallowmere_dat/file.h"
#include "tallowmere_dat/file_index.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/flat_map.h"
#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/lrs.h"
#include "tallowmere_dat/read_error.h"
#include "tallowmere_dat/selection.h"
#include "tallowmere_dat/version.h"
