// URLPath.h: the path of an http URL as servers read it: dot segments resolved, and the
// normalised form in which two spellings of one path compare equal.
#pragma once

#include "foundation/String.h"

// Removes "." and ".." segments from a path that begins with "/" (RFC 3986, 5.2.4), so
// that a relative reference such as "../x.html" names the folder above; ".." never
// climbs above "/".
QELString RemoveDotSegments(const QELString &path);

// The path (query and fragment already removed) in the form that compares equal for every
// spelling of it: escapes of unreserved bytes ("%70" for "p", "%2E" for ".") decoded, runs
// of "/" collapsed to one, dot segments resolved, an empty path made "/". Other escapes
// and the letter case stay; compare the results ignoring case.
QELString NormalisedPath(const QELString &path);
