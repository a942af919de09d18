#pragma once

namespace Kelvaros::GL
{

/// GLSL 3.30 core sources of the host's programs. Attribute locations: 0 position, 1 colour, 2 normal.
namespace ShaderSources
{
/// Transforms a vertex and colours it: uniform or per-vertex colour, optionally head-lit.
extern const char* const kVertex;
/// Expands each line segment into a screen-space quad of the line width, clipped at the near plane.
extern const char* const kWideLineGeometry;
/// Writes the colour the vertex (or geometry) stage passed on.
extern const char* const kColorFragment;
/// A screen-aligned rectangle given in normalised device coordinates, drawn as a 4-vertex triangle strip.
extern const char* const kTextVertex;
/// Copies a glyph coverage texture 1:1 onto the pixels, tinted with the text colour.
extern const char* const kTextFragment;
} // namespace ShaderSources

} // namespace Kelvaros::GL
