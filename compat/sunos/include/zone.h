// Zones: the id of the zone the calling process runs in.
#ifndef SUNOS_ZONE_H
#define SUNOS_ZONE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int zoneid_t;

#define GLOBAL_ZONEID 0

zoneid_t getzoneid(void);

#ifdef __cplusplus
}
#endif

#endif
