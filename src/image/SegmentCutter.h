// CSegmentCutter: cuts an image into download segments, one per file block, in image order.
//
// A segment is what goes to the projector for one file: u8 flags, u16 start offset, u16 start
// segment (file header bytes 5..9), then one load block per address record (u32 load address
// as stored, u32 count, the data record's bytes), then two u32 zeros. The image header, the
// description and the CRC record are never sent; the description becomes m_strStatus.
//
// The cutter shares the image read-only (several cutters may cut the same image at once, one
// per port) and holds the offset reached in it and the current segment. It never
// reads at or beyond m_nImageSize: an image that breaks the record grammar (possible only for
// a .bin that was not checked) simply yields no further segment where it breaks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// A built image, shared read-only by everything that sends it; released with its last holder.
using SharedImage = std::shared_ptr<const uint8_t[]>;

class CSegmentCutter {
public:
    // Shares the image (never writes to it); the offset goes back to 0 and any segment is
    // released.
    void SetImage(SharedImage pImage, uint32_t nImageSize);
    // Releases the image and the segment.
    void Clear();

    // Cuts the next segment. Returns 1 with m_pSegment, m_nRemaining, m_nSegmentLength and
    // m_strStatus describing it and m_nImageOffset on the file block's end record. Returns 0
    // when the image holds no further file block; then only m_nImageOffset has moved (onto
    // the CRC record, or to where the image stops making sense).
    int PrepareNextSegment();
    // Offset of the first end record at or after m_nImageOffset, or m_nImageSize when there
    // is none inside the image. Does not move m_nImageOffset.
    uint32_t FindFileEnd() const;
    // Releases the current segment (after its end of transmission was acknowledged).
    void ReleaseSegment();

    SharedImage m_pImage;
    uint32_t m_nImageSize = 0;
    uint32_t m_nImageOffset = 0;
    std::unique_ptr<uint8_t[]> m_pSegment;
    uint32_t m_nRemaining = 0;      // segment bytes not yet put into a block; the sender's count
    uint32_t m_nSegmentLength = 0;  // kept for the segment progress bar
    std::string m_strStatus;        // description of the file whose segment is current

private:
    // Type and length of the record at nOffset; false when its head or payload would run
    // past the image.
    bool RecordAt(uint32_t nOffset, uint8_t& nType, uint32_t& nLength) const;
};
