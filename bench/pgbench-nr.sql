-- One "NR" packet's rows as the intake stores them on the server, for pgbench
-- (scripts/pg-compare.sh runs it with -M prepared): the ride row, whose new
-- pla_id names the ride in its transaction row, and the commit. The column
-- lists are the intake's own; the values are those it stores for the load
-- program's packet (bench/bench_intake_load.cpp). The columns that differ from
-- packet to packet get a value per transaction: the ride number (pla_extern,
-- pla_extern_ritnummer), the temporary key (pla_temp) and the moment of storing,
-- which the script passes in as :now. The intake sends every value as a
-- parameter; here the ones that never change are part of the prepared
-- statement, which leaves the server a little less parsing per row.
\set ride random(1, 2000000000)
\set temp random(100000000000000000, 999999999999999999)
BEGIN;
INSERT INTO planning (
    pla_status, pla_spoed, pla_vandrel_status, pla_veloralink_eta, pla_veloralink_etd,
    pla_etd_latitude, pla_etd_longitude, pla_eta_latitude, pla_klant_email, pla_eta, pla_etd,
    pla_chauffeur_email, pla_eta_longitude, pla_minuten_extra, pla_minuten_afwijking, pla_isretour,
    pla_txtext_actief, pla_proces, pla_bellen, pla_voorin, pla_filter, pla_soortvervoer,
    pla_soortrit, pla_soortwagen, pla_minuten, pla_is_materiaal, pla_is_koprit, pla_hulpstukken,
    pla_km_sqr, pla_mut, pla_km_map, pla_van, pla_naar, pla_route, pla_chauffeur, pla_wagen,
    pla_lopers, pla_rollers, pla_combineren, pla_zone_naar, pla_zone_van, pla_ntr, pla_vektis,
    pla_vektis_subnummer, pla_uzovi, pla_begeleiding, pla_temp, pla_txtext_vanaf,
    pla_tvtext_verwacht, pla_nss_code, pla_vrij_factuur1, pla_vrij_factuur2, pla_tijdstip_aanrijden,
    pla_auto_toewijzen, pla_tijdstip_toewijzer, pla_cloud, pla_bdr_id, pla_reiziger,
    pla_tarief_bedrijf, pla_eigenaar, pla_kleur, pla_datum, pla_nooitplannen, pla_referentie,
    pla_extern, pla_extern_ritnummer, pla_tijdstip, pla_tijdstip_locatie, pla_tijdstip_in_minimaal,
    pla_tijdstip_in_maximaal, pla_oph_syn, pla_bes_syn, pla_naam_reiziger, pla_ophstraat,
    pla_ophnummer, pla_ophstad, pla_ophpostcode, pla_besstraat, pla_bestnummer, pla_beststad,
    pla_bestpostcode, pla_bedrag, pla_bedrag_3, pla_zone_aantal, pla_tekst, pla_rolstoel,
    pla_telefoon)
VALUES (
    'W', '0', '0', '0', '0', '0', '0', '0', '0', '1899-12-30 00:00:00', '1899-12-30 00:00:00', '0',
    '0', '15', '15', '0', '0', '0', '0', '0', '~', 'P', 'S', 'B', '25', '0', '0', '0', '1.23', '1',
    '1.23', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', 'P' || :temp,
    :now, :now, 'NS-000', '', '', '1899-12-30 00:00:00', '1', '1899-12-30 00:00:00', '1', '0', '0',
    '0', '002', '', '2014-03-05 14:07:00', '0', '5501', :ride, :ride, '2014-03-05 14:07:00',
    '2014-03-05 14:32:00', '2014-03-05 14:07:00', '2014-03-05 14:07:00', '', '', 'Jansen',
    'Dorpsstraat', '12', 'Utrecht', '1234AB', 'Laan', '7', 'Zeist', '3511CD', '12.5', '0', '0',
    E'Bel aan\r\nRollator\r\nBel aan\r\n', '0', '')
RETURNING pla_id \gset
INSERT INTO TRANSACTIES (tra_gebruiker, tra_ritstaat, tra_rit, tra_wagen, tra_chauffeur, tra_code, tra_opmerking)
VALUES ('0', '0', :pla_id, '0', '0', '91', 'Contant');
COMMIT;
