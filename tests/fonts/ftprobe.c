/* ftprobe: print what FreeType reports for font files, to check the fixture
 * table in README.md against the installed FreeType.
 *
 * Build: gcc -o ftprobe ftprobe.c $(pkg-config --cflags --libs freetype2)
 * Usage: ftprobe FILE...
 *
 * Coordinates are printed raw (the FT_Fixed value as a signed long) and
 * divided by 65536, since FreeType may hand back named-instance coordinates
 * as unsigned 32-bit patterns that only the raw value reveals.
 */
#include <stdio.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MULTIPLE_MASTERS_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_TABLES_H

static void print_tag(FT_ULong tag) {
  printf("%c%c%c%c", (int)(tag >> 24) & 0xff, (int)(tag >> 16) & 0xff,
         (int)(tag >> 8) & 0xff, (int)tag & 0xff);
}

static void print_bytes(const FT_Byte* s, FT_UInt len) {
  /* Printable ASCII as is, anything else (UTF-16 zero bytes included) as \xNN. */
  for (FT_UInt i = 0; i < len; i++) {
    if (s[i] >= 0x20 && s[i] < 0x7f && s[i] != '\\')
      putchar(s[i]);
    else
      printf("\\x%02X", s[i]);
  }
}

static void probe_face(FT_Face face, FT_Library lib) {
  const char* ps = FT_Get_Postscript_Name(face);
  printf("  family_name: %s\n", face->family_name ? face->family_name : "(null)");
  printf("  style_name: %s\n", face->style_name ? face->style_name : "(null)");
  printf("  style_flags: 0x%lx (italic %ld, bold %ld)\n", face->style_flags,
         face->style_flags & FT_STYLE_FLAG_ITALIC,
         (face->style_flags & FT_STYLE_FLAG_BOLD) >> 1);
  printf("  postscript: %s\n", ps ? ps : "(null)");

  TT_OS2* os2 = (TT_OS2*)FT_Get_Sfnt_Table(face, FT_SFNT_OS2);
  if (!os2)
    printf("  OS/2: none\n");
  else
    printf("  OS/2: version 0x%04x usWeightClass %u usWidthClass %u fsSelection 0x%04x\n",
           os2->version, os2->usWeightClass, os2->usWidthClass, os2->fsSelection);

  if (FT_Load_Char(face, 'A', FT_LOAD_NO_SCALE) == 0)
    printf("  advance of A (font units): %ld\n", face->glyph->advance.x);

  FT_UInt count = FT_Get_Sfnt_Name_Count(face);
  printf("  name records: %u\n", count);
  for (FT_UInt i = 0; i < count; i++) {
    FT_SfntName n;
    if (FT_Get_Sfnt_Name(face, i, &n)) {
      printf("    [%u] unreadable\n", i);
      continue;
    }
    printf("    [%u] plat %u enc %u lang 0x%x id %u len %u: ", i, n.platform_id,
           n.encoding_id, n.language_id, n.name_id, n.string_len);
    print_bytes(n.string, n.string_len);
    putchar('\n');
  }

  FT_MM_Var* mm = NULL;
  FT_Error err = FT_Get_MM_Var(face, &mm);
  if (err) {
    printf("  FT_Get_MM_Var: error %d\n", err);
    return;
  }
  printf("  num_axis %u num_namedstyles %u\n", mm->num_axis, mm->num_namedstyles);
  for (FT_UInt a = 0; a < mm->num_axis; a++) {
    FT_Var_Axis* ax = &mm->axis[a];
    printf("    axis %u ", a);
    print_tag(ax->tag);
    printf(" min %ld (%g) def %ld (%g) max %ld (%g) strid %u\n", ax->minimum,
           ax->minimum / 65536.0, ax->def, ax->def / 65536.0, ax->maximum,
           ax->maximum / 65536.0, ax->strid);
  }
  for (FT_UInt k = 0; k < mm->num_namedstyles; k++) {
    FT_Var_Named_Style* ns = &mm->namedstyle[k];
    printf("    instance %u strid %u psid %u coords", k, ns->strid, ns->psid);
    for (FT_UInt a = 0; a < mm->num_axis; a++)
      printf(" %ld (%g)", ns->coords[a], ns->coords[a] / 65536.0);
    putchar('\n');
  }
  FT_Done_MM_Var(lib, mm);
}

int main(int argc, char** argv) {
  FT_Library lib;
  if (FT_Init_FreeType(&lib)) {
    fprintf(stderr, "FT_Init_FreeType failed\n");
    return 1;
  }
  FT_Int major, minor, patch;
  FT_Library_Version(lib, &major, &minor, &patch);
  printf("FreeType %d.%d.%d\n", major, minor, patch);
  for (int i = 1; i < argc; i++) {
    FT_Face face;
    FT_Error err = FT_New_Face(lib, argv[i], 0, &face);
    printf("%s\n", argv[i]);
    if (err) {
      printf("  face 0: FT_New_Face error %d\n", err);
      continue;
    }
    FT_Long num_faces = face->num_faces;
    printf("  num_faces: %ld\n", num_faces);
    for (FT_Long idx = 0; idx < num_faces; idx++) {
      if (idx > 0) {
        err = FT_New_Face(lib, argv[i], idx, &face);
        if (err) {
          printf(" face %ld: FT_New_Face error %d\n", idx, err);
          continue;
        }
      }
      printf(" face %ld:\n", idx);
      probe_face(face, lib);
      FT_Done_Face(face);
    }
  }
  FT_Done_FreeType(lib);
  return 0;
}
