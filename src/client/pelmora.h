/* Call frame shared by every server namespace (automation, IO, library):
 * a pool of XML-RPC clients, one format-driven call primitive, the common
 * response decoders and the UDP text datagrams. */
#pragma once
