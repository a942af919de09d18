#include "gl/ShaderSources.h"

namespace Kelvaros::GL::ShaderSources
{

const char* const kVertex = R"(#version 330 core
layout(location = 0) in vec3 a_position;
layout(location = 1) in vec4 a_color;
layout(location = 2) in vec3 a_normal;
uniform mat4 u_modelView;
uniform mat4 u_projection;
uniform mat3 u_normalMatrix;
uniform vec4 u_color;
uniform bool u_vertexColor;
uniform bool u_lighting;
out VertexData { vec4 color; } vs_out;

void main()
{
    gl_Position = u_projection * (u_modelView * vec4(a_position, 1.0));
    vec4 color = u_vertexColor ? a_color : u_color;
    if (u_lighting)
    {
        // A head light: the light comes from the eye, so the eye-space normal's z is the cosine; abs() lights
        // back faces like front faces, which suits open meshes seen from inside.
        vec3 n = normalize(u_normalMatrix * a_normal);
        color.rgb *= 0.3 + 0.7 * abs(n.z);
    }
    vs_out.color = color;
}
)";

const char* const kWideLineGeometry = R"(#version 330 core
layout(lines) in;
layout(triangle_strip, max_vertices = 4) out;
uniform vec2 u_viewportSize;
uniform float u_lineWidth;
in VertexData { vec4 color; } gs_in[];
out VertexData { vec4 color; } gs_out;

void emitCorner(vec4 position, vec4 color, vec2 offsetNdc)
{
    // The offset is in normalised device coordinates; scaling it by w keeps it after the perspective divide.
    gl_Position = position + vec4(offsetNdc * position.w, 0.0, 0.0);
    gs_out.color = color;
    EmitVertex();
}

void main()
{
    vec4 p0 = gl_in[0].gl_Position;
    vec4 p1 = gl_in[1].gl_Position;
    vec4 c0 = gs_in[0].color;
    vec4 c1 = gs_in[1].color;
    // Clip at the near plane (z = -w) first: behind it the perspective divide would flip the segment.
    float d0 = p0.z + p0.w;
    float d1 = p1.z + p1.w;
    if (d0 < 0.0 && d1 < 0.0)
        return;
    if (d0 < 0.0 || d1 < 0.0)
    {
        float t = d0 / (d0 - d1);
        vec4 p = mix(p0, p1, t);
        vec4 c = mix(c0, c1, t);
        if (d0 < 0.0) { p0 = p; c0 = c; } else { p1 = p; c1 = c; }
    }
    vec2 halfViewport = 0.5 * u_viewportSize;
    vec2 direction = (p1.xy / p1.w - p0.xy / p0.w) * halfViewport; // in pixels, so the width is on the screen
    float len = length(direction);
    direction = len > 0.0 ? direction / len : vec2(1.0, 0.0);
    vec2 offset = vec2(-direction.y, direction.x) * (0.5 * u_lineWidth) / halfViewport;
    emitCorner(p0, c0, offset);
    emitCorner(p0, c0, -offset);
    emitCorner(p1, c1, offset);
    emitCorner(p1, c1, -offset);
    EndPrimitive();
}
)";

const char* const kColorFragment = R"(#version 330 core
in VertexData { vec4 color; } fs_in;
out vec4 fragColor;

void main()
{
    fragColor = fs_in.color;
}
)";

const char* const kTextVertex = R"(#version 330 core
uniform vec4 u_rect; // x, y, width, height

void main()
{
    vec2 corner = vec2(float(gl_VertexID & 1), float(gl_VertexID >> 1));
    gl_Position = vec4(u_rect.xy + corner * u_rect.zw, 0.0, 1.0);
}
)";

const char* const kTextFragment = R"(#version 330 core
uniform sampler2D u_texture;
uniform ivec2 u_topLeft; // framebuffer pixel column of the image's left edge, row above its top edge
uniform vec4 u_color;
uniform vec4 u_rimColor;
out vec4 fragColor;

void main()
{
    // Fetching by framebuffer pixel makes the copy exactly 1:1; the image's rows run top-down.
    ivec2 texel = ivec2(int(gl_FragCoord.x) - u_topLeft.x, u_topLeft.y - 1 - int(gl_FragCoord.y));
    vec2 coverage = texelFetch(u_texture, texel, 0).rg;
    // The text over its rim, as straight (not premultiplied) colour for the blend.
    float text = u_color.a * coverage.r;
    float rim = u_rimColor.a * coverage.g * (1.0 - text);
    float alpha = text + rim;
    vec3 rgb = alpha > 0.0 ? (u_color.rgb * text + u_rimColor.rgb * rim) / alpha : u_color.rgb;
    fragColor = vec4(rgb, alpha);
}
)";

} // namespace Kelvaros::GL::ShaderSources
