// The file summary and the entropy profile as JSON objects.
#pragma once

// {"name":..,"size":..,"is_rw":..,"entropy_avg":..,"modified":..,"staged_bytes":..}
// in the calling thread's 4096-byte buffer; "" with "no file open" when closed.
const char *hv_info_json(void);

// {"entropy_avg":..,"entropy_min":..,"entropy_max":..,"buckets":[..],"sampled_bytes":..}
// in the calling thread's 1024-byte buffer; "" with "no file open" when closed.
const char *hv_entropy_json(void);
