// Room for the buffers of the Arrow arrays the library hands over
// (qcSqlReadArrow): a large buffer has pages of its own, mapped for it and
// given back to the system the moment its consumer releases it. From the
// general heap, a batch's buffers of a few hundred kilobytes each would stay
// with the process as free room after the batch went, and the heap would
// grow by the next batches' before it was reused: a streamed read then held
// several batches' worth of memory, not the one being built.
#pragma once

#include <nanoarrow/nanoarrow.h>

namespace qse {

// Sets the page allocator on every buffer of `array` and its children,
// which must have none allocated yet (before ArrowArrayStartAppending).
// A platform without mappings keeps nanoarrow's own.
void use_pages(ArrowArray* array);

}  // namespace qse
